#pragma once

#include "SkinControl.h"

#include <QPointer>

#include <cstdint>
#include <functional>
#include <optional>

class QLabel;
class QTimer;
class TSkinKnob;

// Text of a knob's value for people ("35 %", "12, 99"), asked of the knob's owner.
using TKnobTextEvent = std::function<QString(const TSkinKnob* Sender)>;

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

// Steps of one wheel notch or arrow key: one, or ten when the step is coarse (Shift held).
constexpr int kKnobFineStep = 1;
constexpr int kKnobCoarseStep = 10;

// Value a focused knob at `position` on [min, max] moves to for `key`: Up and Right one step
// more, Down and Left one less (ten with `coarse`, else one), PageUp and PageDown ten more or
// less, Home and End the ends; clamped into [min, max]. Nothing for any other key.
std::optional<int> SkinKnobKeyValue(int key, int position, int min, int max, bool coarse = false);

// Whole wheel notches in `accumulated` eighths of a degree (a notch is 120, truncated toward
// zero), and what is left over for the next event. Positive notches turn the knob up. At most
// 1000 notches either way are taken from one event; no wheel turns that far at once.
struct TWheelNotches {
  int Notches;
  int Remainder;
};
TWheelNotches SkinKnobWheelNotches(std::int64_t accumulated);

// The panel's rotary knob: an integer Position in [Min, Max], changed by dragging the mouse
// vertically with the left button (up raises it; Sensitivity pixels sweep the whole range) and
// shown as the strip frame that SkinKnobGlyphOfPosition names.
//
// Every SetPosition repaints at once and then raises OnChange, from the mouse or from code, also
// when the value does not change; callers that move a knob from code and do not want their
// handler to run guard with their own flag. SetMin and SetMax never raise OnChange.
//
// Besides the drag: each wheel notch over the knob is one Step of one, or of ten with Shift held
// (up raises it), and a knob with focus takes the keys of SkinKnobKeyValue, Shift making the
// arrows coarse. Each notch and each key is one SetPosition, so it raises OnChange exactly once,
// as one drag move does. The wheel is ignored during a drag, whose value follows the pointer
// alone. After each such turn by the user (a drag move, a notch, a key) OnTurn is raised.
//
// A knob with a Caption shows ValueHint in a tooltip while the pointer rests on it and while it
// is dragged, wheeled or keyed; without one, the knob's own tooltip (if any) is shown as for any
// widget.
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

  // SetPosition(Position + delta), the sum clamped into [Min, Max] without overflowing.
  void Step(int delta);

  // The value as people read it: OnValueText's answer when assigned, else Position in decimal.
  QString ValueText() const;
  // "Caption: ValueText" ("Filter Freq: 64"), or empty for a knob without a Caption.
  QString ValueHint() const;

  // Raised after every SetPosition, with the knob as sender, after the new frame is shown.
  TNotifyEvent OnChange;
  // Asked for ValueText; may read other controls (a preset pair shows both of its knobs).
  TKnobTextEvent OnValueText;
  // Raised after OnChange when the user turned the knob (drag, wheel or key), not when code did.
  TNotifyEvent OnTurn;

protected:
  bool event(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  void Position2Glyph();
  // What follows a user's turn: the value hint and OnTurn.
  void Turned();
  // Shows ValueHint below the knob (or updates the one shown); hides it a few seconds after the
  // last call unless a drag is going on.
  void ShowValueHint();
  void HideValueHint();

  int FPosition = 0;
  int FMin = 0;
  int FMax = kDefaultMax;
  int FSensitivity = kDefaultSensitivity;
  bool FDragging = false;
  int FDragStartY = 0;
  int FDragStartPosition = 0;
  int FWheelAccumulated = 0;
  QPointer<QLabel> FHint;  // a tooltip window of the knob's own, made when first needed
  QTimer* FHintTimer = nullptr;
};
