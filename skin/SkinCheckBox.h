#pragma once

#include "SkinControl.h"

// A two-state button shown as frame 0 (unchecked) or frame 1 (checked); it needs a grid of at
// least two frames. A left press toggles Checked at once (on the press, not the release) and then
// raises OnClick; a double click is two presses and toggles twice. Setting Checked from code
// repaints and raises nothing.
//
// Construction leaves GlyphIndex alone, so a layout that starts a box checked sets GlyphIndex 1
// as well (or calls SetChecked).
//
// With focus, Space, Return and Enter are a left press; an assistive tool's toggle is too.
class TSkinCheckBox : public TSkinControl {
  Q_OBJECT
  Q_PROPERTY(bool Checked READ GetChecked WRITE SetChecked)

public:
  explicit TSkinCheckBox(QWidget* parent = nullptr);

  bool GetChecked() const { return FChecked; }
  // Stores the state and shows its frame at once; raises nothing, whether or not it changed.
  void SetChecked(bool value);

  // Toggles Checked and then raises OnClick, as a left press does.
  void Click();

  // Raised after each toggle made by the mouse (or Click), with the box as sender.
  TNotifyEvent OnClick;

protected:
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  bool FChecked = false;
};
