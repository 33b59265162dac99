#include "SkinButton.h"

#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>

TSkinButton::TSkinButton(QWidget* parent) : TSkinControl(parent) {}

void TSkinButton::MouseEnter() {
  if (!FTracking) return;
  FPressed = true;
  SetGlyphIndex(1);
}

void TSkinButton::MouseLeave() {
  if (!FTracking) return;
  FPressed = false;
  SetGlyphIndex(0);
}

void TSkinButton::mousePressEvent(QMouseEvent* event) {
  // The pressed frame is on the screen before an OnMouseDown handler runs.
  if (event->button() == Qt::LeftButton) {
    FTracking = true;
    FPressed = true;
    SetGlyphIndex(1);
  }
  TSkinControl::mousePressEvent(event);
}

void TSkinButton::mouseMoveEvent(QMouseEvent* event) {
  TSkinControl::mouseMoveEvent(event);
  // While a button is held, Qt keeps sending the mouse to the widget it was pressed on but sends
  // it no enter or leave events, so the crossings of the border are found from the pointer.
  if (!FTracking) return;
  const bool over = rect().contains(event->position().toPoint());
  if (over && !FPressed)
    MouseEnter();
  else if (!over && FPressed)
    MouseLeave();
}

void TSkinButton::mouseReleaseEvent(QMouseEvent* event) {
  TSkinControl::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton) return;
  if (FPressed && OnClick) OnClick(this);
  FTracking = false;
  FPressed = false;
  SetGlyphIndex(0);
}

void TSkinButton::enterEvent(QEnterEvent* event) {
  TSkinControl::enterEvent(event);
  MouseEnter();
}

void TSkinButton::leaveEvent(QEvent* event) {
  TSkinControl::leaveEvent(event);
  MouseLeave();
}

void TSkinButton::Click() {
  if (FTracking) return;
  SetGlyphIndex(1);
  if (OnClick) OnClick(this);
  SetGlyphIndex(0);
}

void TSkinButton::keyPressEvent(QKeyEvent* event) {
  if (SpaceClicks(event)) Click();
}
