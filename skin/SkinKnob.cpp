#include "SkinKnob.h"

#include <QAccessible>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
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

std::optional<int> SkinKnobKeyValue(int key, int position, int min, int max, bool coarse) {
  const int step = coarse ? kKnobCoarseStep : kKnobFineStep;
  std::int64_t value = position;
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Right:
      value += step;
      break;
    case Qt::Key_Down:
    case Qt::Key_Left:
      value -= step;
      break;
    case Qt::Key_PageUp:
      value += kKnobCoarseStep;
      break;
    case Qt::Key_PageDown:
      value -= kKnobCoarseStep;
      break;
    case Qt::Key_Home:
      value = min;
      break;
    case Qt::Key_End:
      value = max;
      break;
    default:
      return std::nullopt;
  }
  return static_cast<int>(std::clamp<std::int64_t>(value, min, max));
}

TWheelNotches SkinKnobWheelNotches(std::int64_t accumulated) {
  constexpr int kNotch = 120;  // eighths of a degree: 15 degrees, one click of a common wheel
  constexpr std::int64_t kMostNotches = 1000;
  return {static_cast<int>(std::clamp(accumulated / kNotch, -kMostNotches, kMostNotches)),
          static_cast<int>(accumulated % kNotch)};
}

namespace {
constexpr int kHintMilliseconds = 3000;  // a value hint outlives the last change by this long
}  // namespace

TSkinKnob::TSkinKnob(QWidget* parent) : TSkinControl(parent) {}

namespace {

// Tells assistive tools that the knob's value is now `value`.
void AnnounceValue(TSkinKnob* knob, int value) {
  if (!QAccessible::isActive()) return;
  QAccessibleValueChangeEvent change(knob, value);
  QAccessible::updateAccessibility(&change);
}

}  // namespace

void TSkinKnob::SetMin(int value) {
  if (value >= FMax) return;
  FMin = value;
  const int before = FPosition;
  if (FPosition < value) FPosition = value;
  Position2Glyph();
  if (FPosition != before) AnnounceValue(this, FPosition);
}

void TSkinKnob::SetMax(int value) {
  if (value <= FMin) return;
  FMax = value;
  const int before = FPosition;
  if (FPosition > value) FPosition = value;
  Position2Glyph();
  if (FPosition != before) AnnounceValue(this, FPosition);
}

void TSkinKnob::SetPosition(int value) {
  const int before = FPosition;
  FPosition = std::clamp(value, FMin, FMax);
  Position2Glyph();
  if (FPosition != before) AnnounceValue(this, FPosition);
  if (OnChange) OnChange(this);
}

void TSkinKnob::Step(int delta) {
  const std::int64_t value = std::int64_t{FPosition} + delta;
  SetPosition(static_cast<int>(std::clamp<std::int64_t>(value, FMin, FMax)));
}

QString TSkinKnob::ValueText() const {
  if (OnValueText) return OnValueText(this);
  return QString::number(FPosition);
}

QString TSkinKnob::ValueHint() const {
  if (GetCaption().isEmpty()) return {};
  return GetCaption() + QStringLiteral(": ") + ValueText();
}

void TSkinKnob::ShowValueHint() {
  const QString hint = ValueHint();
  if (hint.isEmpty()) return;
  if (FHint.isNull()) {
    // A window of the tooltip kind in the tooltip's colours and font, owned by the knob so that
    // it can never outlive it.
    FHint = new QLabel(this, Qt::ToolTip | Qt::BypassGraphicsProxyWidget);
    FHint->setObjectName(QStringLiteral("ValueHint"));
    FHint->setPalette(QToolTip::palette());
    FHint->setFont(QToolTip::font());
    FHint->setFrameStyle(QFrame::Box | QFrame::Plain);
    FHint->setMargin(2);
    FHint->setAutoFillBackground(true);
    FHintTimer = new QTimer(this);
    FHintTimer->setSingleShot(true);
    FHintTimer->setInterval(kHintMilliseconds);
    connect(FHintTimer, &QTimer::timeout, this, [this] {
      if (FDragging)
        FHintTimer->start();
      else
        HideValueHint();
    });
  }
  // Resizing and moving a window is costly and a hint is renewed on every move of a drag: the
  // hint only grows while it is shown, and moves only when the knob has moved.
  const bool shown = FHint->isVisible();
  if (FHint->text() != hint || !shown) {
    FHint->setText(hint);
    const QSize wanted = FHint->sizeHint();
    if (!shown)
      FHint->resize(wanted);
    else if (wanted.width() > FHint->width() || wanted.height() > FHint->height())
      FHint->resize(wanted.expandedTo(FHint->size()));
  }
  // Below the knob, or above it where the screen ends below.
  QPoint place = mapToGlobal(QPoint(0, height() + 2));
  if (screen() != nullptr && place.y() + FHint->height() > screen()->geometry().bottom())
    place = mapToGlobal(QPoint(0, -FHint->height() - 2));
  if (FHint->pos() != place) FHint->move(place);
  if (!shown) FHint->show();
  FHintTimer->start();
}

void TSkinKnob::HideValueHint() {
  if (FHint.isNull()) return;
  FHint->hide();
  FHintTimer->stop();
}

bool TSkinKnob::event(QEvent* event) {
  // The pointer rests on the knob: a knob with a name shows its value in place of a tooltip.
  if (event->type() == QEvent::ToolTip && !ValueHint().isEmpty()) {
    ShowValueHint();
    return true;
  }
  return TSkinControl::event(event);
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
  Turned();
}

void TSkinKnob::mouseReleaseEvent(QMouseEvent* event) {
  TSkinControl::mouseReleaseEvent(event);
  if (event->button() != Qt::LeftButton) return;
  FDragging = false;
  if (!rect().contains(event->position().toPoint())) HideValueHint();
}

void TSkinKnob::wheelEvent(QWheelEvent* event) {
  event->accept();
  if (FDragging) return;
  // Some mice turn horizontally only; "natural" scrolling reports its direction inverted.
  const QPoint angle = event->angleDelta();
  int delta = angle.y() != 0 ? angle.y() : angle.x();
  if (event->inverted()) delta = -delta;
  const TWheelNotches turn = SkinKnobWheelNotches(std::int64_t{FWheelAccumulated} + delta);
  FWheelAccumulated = turn.Remainder;
  const int size = event->modifiers() & Qt::ShiftModifier ? kKnobCoarseStep : kKnobFineStep;
  const int step = turn.Notches > 0 ? size : -size;
  for (int i = 0; i < std::abs(turn.Notches); ++i) Step(step);
  if (turn.Notches != 0) Turned();
}

void TSkinKnob::keyPressEvent(QKeyEvent* event) {
  const bool coarse = event->modifiers() & Qt::ShiftModifier;
  const std::optional<int> value = SkinKnobKeyValue(event->key(), FPosition, FMin, FMax, coarse);
  if (!value) {
    TSkinControl::keyPressEvent(event);
    return;
  }
  event->accept();
  ShowFocus(true);
  SetPosition(*value);
  Turned();
}

void TSkinKnob::Turned() {
  ShowValueHint();
  if (OnTurn) OnTurn(this);
}

void TSkinKnob::leaveEvent(QEvent* event) {
  TSkinControl::leaveEvent(event);
  if (!FDragging) HideValueHint();
}

void TSkinKnob::focusOutEvent(QFocusEvent* event) {
  TSkinControl::focusOutEvent(event);
  if (!FDragging && !underMouse()) HideValueHint();
}

void TSkinKnob::hideEvent(QHideEvent* event) {
  TSkinControl::hideEvent(event);
  HideValueHint();
}
