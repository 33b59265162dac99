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
  if (SpaceClicks(event)) Click();
}
