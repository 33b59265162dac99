#include "MidiKeyboard.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <limits>

namespace {

constexpr QRgb kBlack = 0xFF000000;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kSilver = 0xFFC0C0C0;
constexpr QRgb kGrey = 0xFF808080;

// The sizes are not validated, so layout sums are formed wide and saturated to 32 bits.
std::int32_t Saturate(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Pixel spans clipped to the image; spans are inclusive and may be empty or reversed (nothing).
void FillSpan(QImage& image, std::int64_t x0, std::int64_t x1, std::int64_t y0, std::int64_t y1,
              QRgb colour) {
  x0 = std::max<std::int64_t>(x0, 0);
  y0 = std::max<std::int64_t>(y0, 0);
  x1 = std::min<std::int64_t>(x1, image.width() - 1);
  y1 = std::min<std::int64_t>(y1, image.height() - 1);
  if (x0 > x1) return;
  for (std::int64_t y = y0; y <= y1; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(static_cast<int>(y)));
    std::fill(line + x0, line + x1 + 1, colour);
  }
}

void HLine(QImage& image, std::int64_t x0, std::int64_t x1, std::int64_t y, QRgb colour) {
  FillSpan(image, x0, x1, y, y, colour);
}

void VLine(QImage& image, std::int64_t x, std::int64_t y0, std::int64_t y1, QRgb colour) {
  FillSpan(image, x, x, y0, y1, colour);
}

// Silver along the bottom and right inner edge of a released white key; where a black key covers
// the upper right, the upper part of the edge runs just left of that black key.
void ShadeReleasedIvory(QImage& canvas, const TKeyInfo& key, const TKeyGeometry& g) {
  const std::int64_t L = key.Left, R = key.Right;
  HLine(canvas, L + 1, R, std::int64_t{g.IvoryHeight} - 2, kSilver);
  if (key.EbonyRight) {
    VLine(canvas, L + g.IvoryWidth - 2 - g.Half(), 1, std::int64_t{g.EbonyHeight} - 1, kSilver);
    VLine(canvas, R, g.EbonyHeight, std::int64_t{g.IvoryHeight} - 2, kSilver);
  } else {
    VLine(canvas, R, 1, std::int64_t{g.IvoryHeight} - 2, kSilver);
  }
}

// The whole area a key may draw on, as a rectangle for repainting.
QRect KeyRect(const TKeyInfo& key, const TKeyGeometry& g) {
  const int height = key.Kind == kkEbony ? g.EbonyHeight : g.IvoryHeight;
  return QRect(QPoint(key.Left, 0),
               QPoint(Saturate(std::int64_t{key.Right} + 1), std::max(height - 1, 0)));
}

}  // namespace

std::vector<TKeyInfo> BuildKeyTable(int firstNote, int lastNote, const TKeyGeometry& g) {
  std::vector<TKeyInfo> keys;
  if (lastNote < firstNote) return keys;
  const std::int64_t h = g.Half();
  const std::int64_t ivory = g.IvoryWidth;
  std::int64_t x = 5;
  for (int i = 0; i <= lastNote - firstNote; ++i) {
    TKeyInfo key;
    key.Note = static_cast<std::uint8_t>(firstNote + i);
    key.Left = Saturate(x);
    switch (i % 12) {
      case 1:
      case 3:
      case 6:
      case 8:
      case 10:
        key.Kind = kkEbony;
        key.Right = Saturate(x + g.EbonyWidth - 1);
        x += h + 1;
        break;
      default:
        key.Kind = kkIvory;
        key.Right = Saturate(x + ivory - 1);
        key.EbonyLeft = i % 12 != 0 && i % 12 != 5;
        key.EbonyRight = i % 12 != 4 && i % 12 != 11;
        x += key.EbonyRight ? ivory - 1 - h : ivory;
        break;
    }
    keys.push_back(key);
  }
  return keys;
}

int KeyAtPoint(const std::vector<TKeyInfo>& keys, const TKeyGeometry& g, int x, int y) {
  if (y > g.IvoryHeight) return -1;
  const auto find = [&](TKeyKind kind) {
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (keys[i].Kind == kind && keys[i].Left <= x && x <= keys[i].Right)
        return static_cast<int>(i);
    return -1;
  };
  if (y <= g.EbonyHeight) {
    if (const int black = find(kkEbony); black >= 0) return black;
  }
  return find(kkIvory);
}

QRect BorderFloodFill(QImage& image, QPoint start, QRgb fill, QRgb border) {
  if (!image.rect().contains(start)) return {};
  const int width = image.width();
  // Pixels of any colour but the border's belong to the region, those already of the fill colour
  // too, so the scan marks what it has reached.
  std::vector<bool> reached(static_cast<std::size_t>(width) *
                            static_cast<std::size_t>(image.height()));
  const auto at = [&](int x, int y) -> QRgb& {
    return reinterpret_cast<QRgb*>(image.scanLine(y))[x];
  };
  const auto open = [&](int x, int y) {
    return !reached[static_cast<std::size_t>(y) * width + x] &&
           ((at(x, y) ^ border) & 0xFFFFFF) != 0;
  };
  QRect done;
  std::vector<QPoint> stack{start};
  while (!stack.empty()) {
    const QPoint p = stack.back();
    stack.pop_back();
    const int y = p.y();
    if (!open(p.x(), y)) continue;
    int x0 = p.x(), x1 = p.x();
    while (x0 > 0 && open(x0 - 1, y)) --x0;
    while (x1 < width - 1 && open(x1 + 1, y)) ++x1;
    for (int x = x0; x <= x1; ++x) {
      at(x, y) = fill;
      reached[static_cast<std::size_t>(y) * width + x] = true;
    }
    done |= QRect(QPoint(x0, y), QPoint(x1, y));
    for (const int ny : {y - 1, y + 1}) {
      if (ny < 0 || ny >= image.height()) continue;
      for (int x = x0; x <= x1; ++x)
        if (open(x, ny) && (x == x0 || !open(x - 1, ny))) stack.emplace_back(x, ny);
    }
  }
  return done;
}

void PaintKey(QImage& canvas, const TKeyInfo& key, const TKeyGeometry& g, QColor background,
              const QFont& font) {
  const std::int64_t L = key.Left, R = key.Right;
  const std::int64_t EH = g.EbonyHeight, IH = g.IvoryHeight;
  if (key.Kind == kkEbony) {
    FillSpan(canvas, L, R + 1, 0, EH - 1, kBlack);
    HLine(canvas, L + 1, R, EH - 2, kGrey);
    return;
  }
  HLine(canvas, L, R, 0, kBlack);
  HLine(canvas, L + 1, R, IH - 1, kBlack);
  VLine(canvas, L, key.EbonyLeft ? EH : 0, IH - 2, kBlack);
  VLine(canvas, R + 1, 0, IH - 2, kBlack);
  BorderFloodFill(canvas, QPoint(Saturate(L + 1), Saturate(IH - 2)), kWhite, kBlack);
  ShadeReleasedIvory(canvas, key, g);
  if (key.Note % 12 != 0) return;
  const QString label = QStringLiteral("C %1").arg(key.Note / 12 - 1);
  const QFontMetrics metrics(font);
  const int w = metrics.horizontalAdvance(label);
  const QRect box(Saturate(L - (w - g.IvoryWidth) / 2), Saturate(IH + 3), w, metrics.height());
  QPainter painter(&canvas);
  painter.setFont(font);
  painter.fillRect(box, background);
  painter.setPen(Qt::black);
  painter.drawText(box.x(), box.y() + metrics.ascent(), label);
}

QRect DrawKeyOn(QImage& canvas, const TKeyInfo& key, const TKeyGeometry& g, TKeyState state) {
  if (state != ksUp && state != ksDown) return {};
  const std::int64_t L = key.Left, R = key.Right;
  const std::int64_t EH = g.EbonyHeight, IH = g.IvoryHeight;
  const bool down = state == ksDown;
  if (key.Kind == kkEbony) {
    HLine(canvas, L + 1, R, EH - 2, down ? kBlack : kGrey);
    VLine(canvas, R + 1, 1, EH - 2, down ? kGrey : kBlack);
    return KeyRect(key, g);
  }
  // The fill wipes the old shading, which is never black.
  const QRect filled =
      BorderFloodFill(canvas, QPoint(Saturate(L + 1), Saturate(IH - 2)), kWhite, kBlack);
  if (!down) {
    ShadeReleasedIvory(canvas, key, g);
  } else {
    HLine(canvas, L + 1, R, IH - 2, kGrey);
    if (key.EbonyLeft) {
      VLine(canvas, L + 1 + g.Half(), 1, EH - 1, kGrey);
      VLine(canvas, L + 1, EH, IH - 2, kGrey);
    } else {
      VLine(canvas, L + 1, 1, IH - 2, kGrey);
    }
  }
  return filled | KeyRect(key, g);
}

TMidiKeyboard::TMidiKeyboard(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
  FColor = palette().color(QPalette::Window);
  BuildKeys();
  // Quitting with a key held would otherwise leave its note sounding on the device.
  if (QCoreApplication* app = QCoreApplication::instance()) {
    connect(app, &QCoreApplication::aboutToQuit, this, &TMidiKeyboard::ReleaseHeldKey);
  }
}

TMidiKeyboard::~TMidiKeyboard() { EndNote(); }

void TMidiKeyboard::SetEbonyWidth(int value) {
  FGeometry.EbonyWidth = value;
  BuildKeys();
  Invalidate();
}

void TMidiKeyboard::SetEbonyHeight(int value) {
  FGeometry.EbonyHeight = value;
  BuildKeys();
  Invalidate();
}

void TMidiKeyboard::SetIvoryWidth(int value) {
  FGeometry.IvoryWidth = value;
  BuildKeys();
  Invalidate();
}

void TMidiKeyboard::SetIvoryHeight(int value) {
  FGeometry.IvoryHeight = value;
  BuildKeys();
  Invalidate();
}

void TMidiKeyboard::SetMidiChannel(int value) {
  if (value >= 1 && value <= 16) FMidiChannel = value - 1;
}

void TMidiKeyboard::SetMidiOut(TMidiOut* value) {
  if (value != FMidiOut) ReleaseHeldKey();
  FMidiOut = value;
}

void TMidiKeyboard::SetColor(QColor value) {
  FColor = value;
  Invalidate();
}

void TMidiKeyboard::BuildKeys() { FKeys = BuildKeyTable(kFirstNote, kLastNote, FGeometry); }

void TMidiKeyboard::DrawKey(int index, TKeyState state) {
  if (index < 0 || index >= static_cast<int>(FKeys.size())) return;
  EnsureCanvas();
  const QRect changed = DrawKeyOn(FCanvas, FKeys[index], FGeometry, state) & rect();
  if (!changed.isEmpty()) repaint(changed);
}

void TMidiKeyboard::NoteOn(std::uint8_t note, std::uint8_t velocity) {
  if (FMidiOut) FMidiOut->SendNoteOn(static_cast<std::uint8_t>(FMidiChannel), note, velocity);
}

void TMidiKeyboard::NoteOff(std::uint8_t note) {
  if (FMidiOut) FMidiOut->SendNoteOff(static_cast<std::uint8_t>(FMidiChannel), note);
}

QSize TMidiKeyboard::sizeHint() const {
  int right = 0;
  for (const TKeyInfo& key : FKeys) right = std::max(right, Saturate(std::int64_t{key.Right} + 2));
  const std::int64_t height =
      std::int64_t{FGeometry.IvoryHeight} + 4 + QFontMetrics(font()).height();
  return {right, std::max(Saturate(height), 0)};
}

void TMidiKeyboard::Paint() {
  FCanvas.fill(FColor);
  const QFont labelFont = font();
  for (const TKeyInfo& key : FKeys) PaintKey(FCanvas, key, FGeometry, FColor, labelFont);
  // A repaint during play keeps the held key down.
  if (FPressedKey >= 0) DrawKeyOn(FCanvas, FKeys[FPressedKey], FGeometry, ksDown);
}

void TMidiKeyboard::Invalidate() {
  FCanvasValid = false;
  update();
}

void TMidiKeyboard::EnsureCanvas() {
  if (FCanvasValid && FCanvas.size() == size()) return;
  FCanvas = QImage(size(), QImage::Format_RGB32);
  if (!FCanvas.isNull()) Paint();
  FCanvasValid = true;
}

void TMidiKeyboard::paintEvent(QPaintEvent* event) {
  EnsureCanvas();
  QPainter painter(this);
  painter.drawImage(event->rect(), FCanvas, event->rect());
}

void TMidiKeyboard::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FCanvasValid = false;
}

void TMidiKeyboard::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (OnMouseDown) OnMouseDown(this, event->button(), event->modifiers(), at.x(), at.y());
  if (event->button() != Qt::LeftButton) return;
  // A press that finds a key still held (its release never arrived) ends that note first.
  ReleaseHeldKey();
  const int k = KeyAt(at.x(), at.y());
  if (k < 0) return;
  DrawKey(k, ksDown);
  StartNote(k);
  FPressedKey = k;
}

void TMidiKeyboard::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (OnMouseMove) OnMouseMove(this, event->modifiers(), at.x(), at.y());
  if (FPressedKey < 0) return;
  const int k = KeyAt(at.x(), at.y());
  if (k < 0 || k == FPressedKey) return;
  EndNote();
  DrawKey(FPressedKey, ksUp);
  FPressedKey = k;
  StartNote(k);
  DrawKey(k, ksDown);
}

void TMidiKeyboard::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (OnMouseUp) OnMouseUp(this, event->button(), event->modifiers(), at.x(), at.y());
  if (event->button() == Qt::LeftButton) ReleaseHeldKey();
}

void TMidiKeyboard::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A hidden keyboard receives no release: the note would sound on for ever.
  ReleaseHeldKey();
}

void TMidiKeyboard::ReleaseHeldKey() {
  EndNote();
  if (FPressedKey < 0) return;
  const int k = FPressedKey;
  DrawKey(k, ksUp);
  FPressedKey = -1;
}

void TMidiKeyboard::StartNote(int index) {
  EndNote();
  FSoundingNote = FKeys[index].Note;
  FSoundingChannel = static_cast<std::uint8_t>(FMidiChannel);
  if (FMidiOut) FMidiOut->SendNoteOn(FSoundingChannel, FKeys[index].Note, kVelocity);
}

void TMidiKeyboard::EndNote() {
  if (FSoundingNote < 0) return;
  const auto note = static_cast<std::uint8_t>(FSoundingNote);
  FSoundingNote = -1;
  if (FMidiOut) FMidiOut->SendNoteOff(FSoundingChannel, note);
}
