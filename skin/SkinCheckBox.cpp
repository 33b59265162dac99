#include "SkinCheckBox.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>

TSkinCheckBox::TSkinCheckBox(QWidget* parent) : TSkinControl(parent) {}

void TSkinCheckBox::SetChecked(bool value) {
  const bool changed = value != FChecked;
  FChecked = value;
  SetGlyphIndex(value ? 1 : 0);
  if (changed && QAccessible::isActive()) {
    QAccessible::State state;
    state.checked = true;
    QAccessibleStateChangeEvent event(this, state);
    QAccessible::updateAccessibility(&event);
  }
}

void TSkinCheckBox::Click() {
  SetChecked(!FChecked);
  if (OnClick) OnClick(this);
}

void TSkinCheckBox::mousePressEvent(QMouseEvent* event) {
  TSkinControl::mousePressEvent(event);
  if (event->button() != Qt::LeftButton) return;
  Click();
}

void TSkinCheckBox::keyPressEvent(QKeyEvent* event) {
  // Return and Enter press a box as Space does: the box is the choice of a selector row.
  const int key = event->key();
  if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
      (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    event->accept();
    ShowFocus(true);
    if (!event->isAutoRepeat()) Click();
    return;
  }
  if (SpaceClicks(event)) Click();
}
