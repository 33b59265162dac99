#include "SkinKnob.h"

#include <QMouseEvent>

#include <algorithm>
#include <cstdint>
#include <limits>

int SkinKnobGlyphOfPosition(int position, int min, int max, int frameCount) {
  if (max <= min) return 0;
  // Single precision on purpose: the frame boundaries are those of a float computation.
  const float last = static_cast<float>(std::int64_t{frameCount} - 1);
  const float offset = static_cast<float>(std::int64_t{position} - min);
  const float span = static_cast<float>(std::int64_t{max} - min);
  const float product = last * offset;
  const float quotient = product / span;
  constexpr float kIntLimit = 2147483520.0F;  // largest float below 2^31
  return static_cast<int>(std::clamp(quotient, -kIntLimit, kIntLimit));
}

int SkinKnobDragValue(int startPosition, int min, int max, int sensitivity, int dy) {
  const std::int64_t span = std::int64_t{max} - min;
  const std::int64_t step = span * dy / std::max(sensitivity, 1);
  const std::int64_t value = std::int64_t{startPosition} - step;
  return static_cast<int>(std::clamp<std::int64_t>(value, min, max));
}

TSkinKnob::TSkinKnob(QWidget* parent) : TSkinControl(parent) {}

void TSkinKnob::SetMin(int value) {
  if (value >= FMax) return;
  FMin = value;
  if (FPosition < value) FPosition = value;
  Position2Glyph();
}

void TSkinKnob::SetMax(int value) {
  if (value <= FMin) return;
  FMax = value;
  if (FPosition > value) FPosition = value;
  Position2Glyph();
}

void TSkinKnob::SetPosition(int value) {
  FPosition = std::clamp(value, FMin, FMax);
  Position2Glyph();
  if (OnChange) OnChange(this);
}

void TSkinKnob::SetSensitivity(int value) {
  if (value < 1) return;
  FSensitivity = value;
}

void TSkinKnob::Position2Glyph() {
  const std::int64_t frames = std::int64_t{GetGlyphColCount()} * GetGlyphRowCount();
  const int frameCount =
      static_cast<int>(std::min<std::int64_t>(frames, std::numeric_limits<int>::max()));
  SetGlyphIndex(SkinKnobGlyphOfPosition(FPosition, FMin, FMax, frameCount));
}

void TSkinKnob::mousePressEvent(QMouseEvent* event) {
  TSkinControl::mousePressEvent(event);
  if (event->button() != Qt::LeftButton) return;
  // A second press (the second click of a double click) restarts the drag from here.
  FDragging = true;
  FDragStartY = event->position().toPoint().y();
  FDragStartPosition = FPosition;
}

void TSkinKnob::mouseMoveEvent(QMouseEvent* event) {
  TSkinControl::mouseMoveEvent(event);
  if (!FDragging) return;
  const int dy = event->position().toPoint().y() - FDragStartY;
  SetPosition(SkinKnobDragValue(FDragStartPosition, FMin, FMax, FSensitivity, dy));
}

void TSkinKnob::mouseReleaseEvent(QMouseEvent* event) {
  TSkinControl::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton) FDragging = false;
}
