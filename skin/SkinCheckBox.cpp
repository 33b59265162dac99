#include "SkinCheckBox.h"

#include <QMouseEvent>

TSkinCheckBox::TSkinCheckBox(QWidget* parent) : TSkinControl(parent) {}

void TSkinCheckBox::SetChecked(bool value) {
  FChecked = value;
  SetGlyphIndex(value ? 1 : 0);
}

void TSkinCheckBox::mousePressEvent(QMouseEvent* event) {
  TSkinControl::mousePressEvent(event);
  if (event->button() != Qt::LeftButton) return;
  SetChecked(!FChecked);
  if (OnClick) OnClick(this);
}
