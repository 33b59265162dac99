#pragma once

#include "SkinControl.h"

// A two-frame push button: frame 0 is the normal look, frame 1 the pressed look (so it needs a
// grid of at least two frames). It shows frame 1 while the left button is held down on it with
// the pointer over it, and raises OnClick when the left button is released while frame 1 is
// shown. Releasing after dragging off does not click; dragging back on before releasing does.
//
// States: idle (frame 0); pressed (held, pointer over the button, frame 1); held outside (held,
// pointer off the button, frame 0). Other mouse buttons change nothing.
//
// With focus (taken by a click only), Space clicks it; an assistive tool's press does too.
class TSkinButton : public TSkinControl {
  Q_OBJECT

public:
  explicit TSkinButton(QWidget* parent = nullptr);

  // Shows frame 1, raises OnClick and returns to frame 0, as a press and release over the button
  // do. Does nothing while the mouse holds the button.
  void Click();

  // Raised on a left release in the pressed state, while frame 1 is still shown; the button
  // returns to frame 0 after the handler returns.
  TNotifyEvent OnClick;

protected:
  // The pointer came over the button / left it. Only a held button reacts.
  void MouseEnter();
  void MouseLeave();

  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  bool FTracking = false;  // the left button went down here and is not yet released
  bool FPressed = false;   // frame 1 is shown; a release now clicks
};
