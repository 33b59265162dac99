#include "Knob.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr QPoint kCentre{13, 13};
constexpr double kPointerLength = 300.0;
constexpr QRgb kTransparentRed = 0xFF0000;

int Saturate(double v) {
  return static_cast<int>(std::clamp<double>(std::trunc(v), std::numeric_limits<int>::min(),
                                             std::numeric_limits<int>::max()));
}

int Saturate(std::int64_t v) {
  return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

bool SteppedDrag(const QMouseEvent* event) {
  return (event->modifiers() & Qt::ControlModifier) || (event->buttons() & Qt::RightButton);
}

}  // namespace

QRgb NearestStandardColor(QColor colour) {
  const QRgb c = colour.rgb();
  QRgb best = kStandardPalette[0];
  int bestDistance = std::numeric_limits<int>::max();
  for (const QRgb p : kStandardPalette) {
    const int dr = qRed(p) - qRed(c), dg = qGreen(p) - qGreen(c), db = qBlue(p) - qBlue(c);
    const int distance = dr * dr + dg * dg + db * db;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = p;
    }
  }
  return best;
}

int KnobSnapPosition(int value, int min, int max) {
  if (max <= min) return min;
  // Single precision on purpose: the detents are those of a float computation (0, 16, 33, 50, 66,
  // 83, 100 on 0..100; products like 3 x 16.666666 round to 50 only in single precision).
  const float step = static_cast<float>(static_cast<double>(std::int64_t{max} - min) / 6.0);
  const float n =
      std::trunc(static_cast<float>(static_cast<double>(std::int64_t{value} - min) / step + 0.5));
  const float offset = n * step;
  // Truncating the sum, not the offset: -100 + 33.333332 gives -66 on -100..100.
  return Saturate(static_cast<double>(min) + static_cast<double>(offset));
}

int KnobDragValue(int startPosition, int min, int max, int sensitivity, bool stepped, int dy) {
  const std::int64_t divisor = std::max(stepped ? sensitivity / 3 : sensitivity, 1);
  const std::int64_t delta = (std::int64_t{max} - min) * dy / divisor;
  return Saturate(std::int64_t{startPosition} - delta);
}

std::optional<int> KnobKeyValue(int key, bool ctrl, int position, int min, int max,
                                int smallChange) {
  int direction = 0;
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Right:
      direction = 1;
      break;
    case Qt::Key_Left:
    case Qt::Key_Down:
      direction = -1;
      break;
    default:
      return std::nullopt;
  }
  if (!ctrl) return Saturate(std::int64_t{position} + direction * std::int64_t{smallChange});
  const int nearest = KnobSnapPosition(position, min, max);
  if (direction > 0 ? nearest > position : nearest < position) return nearest;
  const std::int64_t sixth = (std::int64_t{max} - min) / 6;
  return KnobSnapPosition(Saturate(std::int64_t{position} + direction * sixth), min, max);
}

QPoint KnobPointerEnd(int position, int min, int max) {
  const double pi = 4.0 * std::atan(1.0);
  const double span = max > min ? static_cast<double>(std::int64_t{max} - min) : 1.0;
  const double theta =
      1.25 * pi - 1.5 * pi * static_cast<double>(std::int64_t{position} - min) / span;
  return {Saturate(kCentre.x() + kPointerLength * std::cos(theta)),
          Saturate(kCentre.y() - kPointerLength * std::sin(theta))};
}

QImage ComposeKnob(const QImage& picture, const QImage& mask, QColor background, int position,
                   int min, int max) {
  if (picture.isNull()) return {};
  QImage buffer = picture.convertToFormat(QImage::Format_RGB32);
  const QRgb brush = NearestStandardColor(background);
  for (int y = 0; y < buffer.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(buffer.scanLine(y));
    for (int x = 0; x < buffer.width(); ++x)
      if ((line[x] & 0xFFFFFF) == kTransparentRed) line[x] = brush;
  }
  // The pointer layer: a long black line on white, ORed with the mask so that only the part over
  // the mask's black disc stays black, then ANDed into the picture.
  QImage pointer(buffer.size(), QImage::Format_RGB32);
  pointer.fill(Qt::white);
  {
    QPainter painter(&pointer);
    painter.setPen(QPen(Qt::black, 0));
    painter.drawLine(kCentre, KnobPointerEnd(position, min, max));
    painter.setCompositionMode(QPainter::RasterOp_SourceOrDestination);
    painter.drawImage(0, 0, mask.convertToFormat(QImage::Format_RGB32));
  }
  QPainter painter(&buffer);
  painter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
  painter.drawImage(0, 0, pointer);
  return buffer;
}

TKnob::TKnob(QWidget* parent)
    : QWidget(parent),
      FNormalBitmap(kKnobNormalPath),
      FFocusBitmap(kKnobFocusPath),
      FMaskBitmap(kKnobMaskPath) {
  resize(kSize, kSize);
  SetTabStop(true);
}

void TKnob::SetMin(int value) {
  if (value >= FMax) return;
  FMin = value;
  FPosition = std::max(FPosition, FMin);
  update();
}

void TKnob::SetMax(int value) {
  if (value <= FMin) return;
  FMax = value;
  FPosition = std::min(FPosition, FMax);
  update();
}

void TKnob::SetPosition(int value) {
  FPosition = std::clamp(value, FMin, FMax);
  update();
  if (OnChange) OnChange(this);
}

void TKnob::Paint() {
  const QWidget* host = parentWidget() ? parentWidget() : this;
  const QColor background = host->palette().color(host->backgroundRole());
  QPainter painter(this);
  painter.drawImage(0, 0,
                    ComposeKnob(hasFocus() ? FFocusBitmap : FNormalBitmap, FMaskBitmap, background,
                                FPosition, FMin, FMax));
}

void TKnob::paintEvent(QPaintEvent*) { Paint(); }

void TKnob::keyPressEvent(QKeyEvent* event) {
  const auto value = KnobKeyValue(event->key(), event->modifiers() & Qt::ControlModifier, FPosition,
                                  FMin, FMax, SmallChange);
  if (value)
    SetPosition(*value);
  else
    QWidget::keyPressEvent(event);
  // The knob keeps every key, so arrows never move the focus or reach the window.
  event->accept();
}

void TKnob::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (OnMouseDown) OnMouseDown(this, event->button(), event->modifiers(), at.x(), at.y());
  if (GetTabStop()) setFocus(Qt::MouseFocusReason);
  if (event->button() != Qt::LeftButton) return;
  FDragging = true;
  FDragStartY = at.y();
  FDragStartPosition = FPosition;
  FStepMode = SteppedDrag(event);
  if (FStepMode) SetSnappedPosition(FPosition, true);
}

void TKnob::mouseMoveEvent(QMouseEvent* event) {
  if (!FDragging) return;
  const int y = event->position().toPoint().y();
  if (const bool stepped = SteppedDrag(event); stepped != FStepMode) {
    FStepMode = stepped;
    FDragStartY = y;
    FDragStartPosition = FPosition;
  }
  SetSnappedPosition(
      KnobDragValue(FDragStartPosition, FMin, FMax, Sensitivity, FStepMode, y - FDragStartY),
      FStepMode);
}

void TKnob::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) FDragging = false;
}

void TKnob::focusInEvent(QFocusEvent*) { repaint(); }

void TKnob::focusOutEvent(QFocusEvent*) { repaint(); }
