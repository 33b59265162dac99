#pragma once

#include "SkinControl.h"

// Frame of a knob position on a strip of `frameCount` frames: ((frameCount - 1) * (position -
// min)) / (max - min), each step rounded to single precision and the quotient truncated toward
// zero. The lowest frame covers the lowest values and the last frame appears only at `max`.
// Requires min < max; returns 0 otherwise.
int SkinKnobGlyphOfPosition(int position, int min, int max, int frameCount);

// Value after a vertical drag of `dy` pixels (positive: pointer below the press point) from a
// press at value `startPosition`: startPosition - ((max - min) * dy) div sensitivity, the
// quotient truncated toward zero, then clamped into [min, max]. The value is computed from the
// press point on every move, never accumulated. The product is formed in 64 bits, so large
// ranges or long drags cannot overflow. Requires min < max and sensitivity >= 1.
int SkinKnobDragValue(int startPosition, int min, int max, int sensitivity, int dy);

// The panel's rotary knob: an integer Position in [Min, Max], changed by dragging the mouse
// vertically with the left button (up raises it; Sensitivity pixels sweep the whole range) and
// shown as the strip frame that SkinKnobGlyphOfPosition names.
//
// Every SetPosition repaints at once and then raises OnChange, from the mouse or from code, also
// when the value does not change; callers that move a knob from code and do not want their
// handler to run guard with their own flag. SetMin and SetMax never raise OnChange.
class TSkinKnob : public TSkinControl {
  Q_OBJECT
  Q_PROPERTY(int Min READ GetMin WRITE SetMin)
  Q_PROPERTY(int Max READ GetMax WRITE SetMax)
  Q_PROPERTY(int Position READ GetPosition WRITE SetPosition)
  Q_PROPERTY(int Sensitivity READ GetSensitivity WRITE SetSensitivity)

public:
  static constexpr int kDefaultMax = 100;
  static constexpr int kDefaultSensitivity = 128;

  // Starts 27 x 27 at Position 0 on 0..100, Sensitivity 128, frame 0.
  explicit TSkinKnob(QWidget* parent = nullptr);

  int GetMin() const { return FMin; }
  int GetMax() const { return FMax; }
  int GetPosition() const { return FPosition; }
  int GetSensitivity() const { return FSensitivity; }

  // Refused silently (no change, no repaint) when value >= Max. Otherwise a Position below the new
  // Min is raised to it, and the frame is recomputed; OnChange is not raised.
  void SetMin(int value);
  // Refused silently when value <= Min. Otherwise a Position above the new Max is lowered to it,
  // and the frame is recomputed; OnChange is not raised.
  void SetMax(int value);
  // Clamps into [Min, Max], shows the frame of the result at once, then raises OnChange.
  void SetPosition(int value);
  // Refused silently when value < 1 (the drag divides by it).
  void SetSensitivity(int value);

  // Raised after every SetPosition, with the knob as sender, after the new frame is shown.
  TNotifyEvent OnChange;

protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

private:
  void Position2Glyph();

  int FPosition = 0;
  int FMin = 0;
  int FMax = kDefaultMax;
  int FSensitivity = kDefaultSensitivity;
  bool FDragging = false;
  int FDragStartY = 0;
  int FDragStartPosition = 0;
};
