#include "SkinControl.h"

#include <QKeyEvent>

#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>

#include "SkinAccessible.h"

#include <algorithm>
#include <cstdint>

QRect SkinFrameRect(int glyphIndex, int glyphColCount, int skinXOffset, int skinYOffset,
                    int frameWidth, int frameHeight) {
  const int cols = std::max(glyphColCount, 1);
  const int row = glyphIndex / cols;
  const int col = glyphIndex % cols;
  // Far-off frames (huge offsets or indices) are only ever compared against the sheet's bounds;
  // keep the arithmetic inside int by saturating in 64 bits.
  auto clampToInt = [](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN / 2, INT32_MAX / 2));
  };
  const int left = clampToInt(std::int64_t{skinXOffset} + std::int64_t{col} * frameWidth);
  const int top = clampToInt(std::int64_t{skinYOffset} + std::int64_t{row} * frameHeight);
  return QRect(left, top, frameWidth, frameHeight);
}

int SkinClampGlyphIndex(int value, int glyphColCount, int glyphRowCount) {
  const std::int64_t frames = std::int64_t{std::max(glyphColCount, 1)} * std::max(glyphRowCount, 1);
  if (value >= frames) return static_cast<int>(std::min<std::int64_t>(frames - 1, INT32_MAX));
  return value;
}

TSkinControl::TSkinControl(QWidget* parent) : QWidget(parent) {
  // Every pixel is painted by Paint, so Qt need not clear the area first; this keeps a knob that
  // repaints on every mouse move from flickering.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
  resize(kDefaultSize, kDefaultSize);
  InstallSkinAccessibility();
}

void TSkinControl::SetGlyphColCount(int value) {
  FGlyphColCount = std::max(value, 1);
  RepaintNow();
}

void TSkinControl::SetGlyphRowCount(int value) {
  FGlyphRowCount = std::max(value, 1);
  RepaintNow();
}

void TSkinControl::SetGlyphIndex(int value) {
  FGlyphIndex = SkinClampGlyphIndex(value, FGlyphColCount, FGlyphRowCount);
  RepaintNow();
}

void TSkinControl::SetSkinXOffset(int value) {
  FSkinXOffset = value;
  RepaintNow();
}

void TSkinControl::SetSkinYOffset(int value) {
  FSkinYOffset = value;
  RepaintNow();
}

void TSkinControl::RepaintNow() { repaint(); }

void TSkinControl::ShowFocus(bool value) {
  const bool drawn = GetFocusShown();
  FFocusShown = value;
  if (GetFocusShown() != drawn) RepaintNow();
}

void TSkinControl::Paint() {
  QPainter painter(this);
  // Qt smooths scaled pictures on screens of a fractional pixel ratio; the skins never are.
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  if (FSkinSource.isNull()) {
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::white);
    painter.drawRect(0, 0, width() - 1, height() - 1);
    return;
  }
  const QImage& sheet = FSkinSource->GetBitmap();
  const QRect source =
      SkinFrameRect(FGlyphIndex, FGlyphColCount, FSkinXOffset, FSkinYOffset, width(), height());
  const QRect inside = source.intersected(sheet.rect());
  if (inside != source) painter.fillRect(rect(), palette().window());
  if (!inside.isEmpty()) painter.drawImage(inside.topLeft() - source.topLeft(), sheet, inside);
  if (GetFocusShown()) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
}

void TSkinControl::paintEvent(QPaintEvent*) { Paint(); }

void TSkinControl::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  // Coming back to an active window keeps what was shown before it was left.
  if (event->reason() == Qt::ActiveWindowFocusReason) {
    if (FFocusShown) RepaintNow();
    return;
  }
  FFocusShown = false;
  ShowFocus(event->reason() != Qt::MouseFocusReason);
}

void TSkinControl::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  // Losing focus to another window keeps the ring for the return; either way it is not drawn now.
  const bool wasShown = FFocusShown;
  if (event->reason() != Qt::ActiveWindowFocusReason) FFocusShown = false;
  if (wasShown) RepaintNow();
}

void TSkinControl::mousePressEvent(QMouseEvent* event) {
  ShowFocus(false);
  if (OnMouseDown) {
    const QPoint p = event->position().toPoint();
    OnMouseDown(this, event->button(), event->modifiers(), p.x(), p.y());
  }
}

void TSkinControl::mouseReleaseEvent(QMouseEvent* event) {
  if (OnMouseUp) {
    const QPoint p = event->position().toPoint();
    OnMouseUp(this, event->button(), event->modifiers(), p.x(), p.y());
  }
}

void TSkinControl::mouseMoveEvent(QMouseEvent* event) {
  if (OnMouseMove) {
    const QPoint p = event->position().toPoint();
    OnMouseMove(this, event->modifiers(), p.x(), p.y());
  }
}

bool TSkinControl::SpaceClicks(QKeyEvent* event) {
  if (event->key() != Qt::Key_Space || event->modifiers() != Qt::NoModifier) {
    QWidget::keyPressEvent(event);
    return false;
  }
  event->accept();
  ShowFocus(true);
  return !event->isAutoRepeat();
}
