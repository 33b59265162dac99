#pragma once

#include "NotifyEvent.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <array>
#include <optional>

// The resource names of the knob's three pictures: 27 x 27, 4 bits per pixel, the standard
// 16-colour palette, centred on pixel (13, 13). Red (#FF0000) in the first two is transparent;
// the mask is black over the knob's face and white elsewhere. A program that places a knob links
// halvorine_resources, which holds them; without them the knob paints nothing.
inline constexpr const char* kKnobNormalPath = ":/bitmaps/KNOBNORMAL";
inline constexpr const char* kKnobFocusPath = ":/bitmaps/KNOBFOCUS";
inline constexpr const char* kKnobMaskPath = ":/bitmaps/KNOBMASK";

// The standard 16-colour palette in its usual index order (0 black, 7 silver, 8 grey, 9 red,
// 15 white).
inline constexpr std::array<QRgb, 16> kStandardPalette = {
    0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080, 0xFF008080, 0xFFC0C0C0,
    0xFF808080, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00, 0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF};

// The colour of kStandardPalette nearest to `colour` (by squared distance in RGB; the lower index
// on a tie): how a 16-colour picture renders it.
QRgb NearestStandardColor(QColor colour);

// The detent nearest to `value` on min..max. The seven detents are min + the multiples 0..6 of
// step = (max - min) / 6 in single precision, each product rounded to single precision and the
// sum truncated toward zero; halfway goes up. A value outside the range gives a result outside it,
// which SetPosition clamps. Requires min < max; returns min otherwise.
int KnobSnapPosition(int value, int min, int max);

// The value a drag asks for, before snapping: startPosition - (max - min) * dy div divisor, where
// divisor is `sensitivity` in plain mode and sensitivity div 3 in stepped mode (at least 1 either
// way), the quotient truncated toward zero. dy > 0 means the pointer is below the start. Formed in
// 64 bits and saturated to int.
int KnobDragValue(int startPosition, int min, int max, int sensitivity, bool stepped, int dy);

// The value an arrow key asks SetPosition for, or nothing for a key the knob does not handle.
// Up and Right raise, Left and Down lower: by smallChange, or with Ctrl to the next detent in
// that direction. Saturated to int; SetPosition clamps.
std::optional<int> KnobKeyValue(int key, bool ctrl, int position, int min, int max,
                                int smallChange);

// Where the pointer line of `position` on min..max ends: 300 pixels from (13, 13) at the angle
// 1.25 pi - 1.5 pi (position - min) / (max - min), each coordinate truncated toward zero.
QPoint KnobPointerEnd(int position, int min, int max);

// The knob as shown: `picture` with its red pixels in the palette colour nearest to `background`,
// and the pointer line black where `mask` is black. The result is RGB32 of the picture's size.
QImage ComposeKnob(const QImage& picture, const QImage& mask, QColor background, int position,
                   int min, int max);

// A 27 x 27 rotary knob drawn from its three pictures, with an integer Position in [Min, Max].
// Dragging up with the left button raises it (Sensitivity pixels sweep the range); with Ctrl or
// the right button held the drag covers the range in a third of the distance and snaps to the
// seven detents, and each change of that mode mid-drag starts the drag afresh from the current
// point and value. The arrow keys step by SmallChange, or with Ctrl to the next detent.
//
// Every SetPosition, from the user or from code, raises OnChange, also when the value stays.
// SetMin and SetMax never do. The focused knob shows the focus picture.
class TKnob : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int Min READ GetMin WRITE SetMin)
  Q_PROPERTY(int Max READ GetMax WRITE SetMax)
  Q_PROPERTY(int Position READ GetPosition WRITE SetPosition)
  Q_PROPERTY(int Sensitivity MEMBER Sensitivity)
  Q_PROPERTY(int SmallChange MEMBER SmallChange)
  Q_PROPERTY(bool TabStop READ GetTabStop WRITE SetTabStop)

public:
  static constexpr int kSize = 27;

  // 27 x 27, Position 0 on 0..100, Sensitivity 128, SmallChange 1, TabStop set.
  explicit TKnob(QWidget* parent = nullptr);

  int GetMin() const { return FMin; }
  int GetMax() const { return FMax; }
  int GetPosition() const { return FPosition; }

  // Ignored when value >= Max. A Position below the new Min moves up to it silently.
  void SetMin(int value);
  // Ignored when value <= Min. A Position above the new Max moves down to it silently.
  void SetMax(int value);
  // Clamps into [Min, Max], repaints, then raises OnChange.
  void SetPosition(int value);
  int SnapPosition(int value) const { return KnobSnapPosition(value, FMin, FMax); }
  void SetSnappedPosition(int value, bool snap) { SetPosition(snap ? SnapPosition(value) : value); }

  // Reached by Tab and focused by a press of any button; without it the knob takes no focus.
  bool GetTabStop() const { return focusPolicy() != Qt::NoFocus; }
  void SetTabStop(bool value) { setFocusPolicy(value ? Qt::StrongFocus : Qt::NoFocus); }

  bool Dragging() const { return FDragging; }

  // Pixels of vertical travel for the whole range (a third of it when stepped). Values below 3
  // act as 3 in stepped drags and values below 1 as 1 in plain ones.
  int Sensitivity = 128;
  // Step of one arrow key; any value, SetPosition clamps.
  int SmallChange = 1;

  TNotifyEvent OnChange;
  TMouseEvent OnMouseDown;

  QSize sizeHint() const override { return {kSize, kSize}; }

protected:
  void Paint();

  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

private:
  QImage FNormalBitmap;
  QImage FFocusBitmap;
  QImage FMaskBitmap;
  int FPosition = 0;
  int FMin = 0;
  int FMax = 100;
  bool FDragging = false;
  int FDragStartY = 0;
  int FDragStartPosition = 0;
  bool FStepMode = false;
};
