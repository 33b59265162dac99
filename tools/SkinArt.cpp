#include "SkinArt.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace SkinArt {

namespace {

constexpr double kKnobCentre = kKnobFrameSize / 2.0;
constexpr double kKnobOuterRadius = 11.0;
constexpr double kRimInnerRadius = 9.5;
constexpr double kFaceFlatRadius = 7.5;  // the face keeps its own colour out to here
constexpr double kPointerLength = kRimInnerRadius;
constexpr double kPointerWidth = 2.0;
constexpr double kEndMarkInner = 11.7;
constexpr double kEndMarkOuter = 14.3;
constexpr double kEndMarkWidth = 1.5;
constexpr double kTravelDegrees = 270.0;

constexpr double kLabelHeight = 8.0;
constexpr double kLabelTopEdge = 3.0;

QPointF Polar(double radius, double degreesFromUp) {
  const double rad = degreesFromUp * std::numbers::pi / 180.0;
  return {kKnobCentre + radius * std::sin(rad), kKnobCentre - radius * std::cos(rad)};
}

// Label outline scaled to the label height and placed centred in the label box of a cell whose
// top left corner is `cell`.
QPainterPath LabelPath(const QFont& font, const QString& text, QPointF cell) {
  QPainterPath glyphs;
  glyphs.addText(0, 0, font, text);
  const QRectF box = glyphs.boundingRect();
  const double scaleY = kLabelHeight / box.height();
  const double maxWidth = kLabelRight - kLabelLeft + 1 - 1.0;  // keep a half pixel either side
  const double scaleX = std::min(scaleY, maxWidth / box.width());
  const double width = box.width() * scaleX;
  const double centreX = (kLabelLeft + kLabelRight + 1) / 2.0;
  QTransform place;
  place.translate(cell.x() + centreX - width / 2.0, cell.y() + kLabelTopEdge);
  place.scale(scaleX, scaleY);
  place.translate(-box.left(), -box.top());
  return place.map(glyphs);
}

void PaintKnobFrame(QPainter& p, int frame) {
  const QPointF centre(kKnobCentre, kKnobCentre);

  // End marks first, outside the rim, at the two ends of the pointer's travel.
  p.setPen(QPen(QColor(72, 70, 66), kEndMarkWidth, Qt::SolidLine, Qt::FlatCap));
  for (double end : {-kTravelDegrees / 2.0, kTravelDegrees / 2.0})
    p.drawLine(Polar(kEndMarkInner, end), Polar(kEndMarkOuter, end));

  // Rim: the whole knob disc, lit from above, darkest at the bottom.
  QLinearGradient rim(0, 0, 0, kKnobFrameSize);
  rim.setColorAt(0.0, QColor(128, 125, 119));
  rim.setColorAt(0.5, QColor(84, 82, 78));
  rim.setColorAt(1.0, QColor(34, 33, 31));
  p.setPen(Qt::NoPen);
  p.setBrush(rim);
  p.drawEllipse(centre, kKnobOuterRadius, kKnobOuterRadius);

  // Face, flat in the middle and a little darker toward the rim.
  QRadialGradient face(centre, kRimInnerRadius);
  face.setColorAt(0.0, kKnobFace);
  face.setColorAt(kFaceFlatRadius / kRimInnerRadius, kKnobFace);
  face.setColorAt(1.0, QColor(196, 192, 184));
  p.setBrush(face);
  p.drawEllipse(centre, kRimInnerRadius, kRimInnerRadius);

  // Pointer from the centre to the rim.
  p.setPen(QPen(kKnobPointer, kPointerWidth, Qt::SolidLine, Qt::FlatCap));
  p.drawLine(centre, Polar(kPointerLength, KnobPointerDegrees(frame)));
}

}  // namespace

double KnobPointerDegrees(int frame) {
  return -kTravelDegrees / 2.0 + frame * kTravelDegrees / (kKnobFrameCount - 1);
}

const std::array<QString, 16>& SoundLabels() {
  static const std::array<QString, 16> labels = {
      QStringLiteral("BD"), QStringLiteral("SD"), QStringLiteral("HT"), QStringLiteral("MT"),
      QStringLiteral("LT"), QStringLiteral("CP"), QStringLiteral("RS"), QStringLiteral("CB"),
      QStringLiteral("CH"), QStringLiteral("OH"), QStringLiteral("RC"), QStringLiteral("CC"),
      QStringLiteral("M1"), QStringLiteral("M2"), QStringLiteral("M3"), QStringLiteral("M4")};
  return labels;
}

QImage PaintSoundSelectionSheet(const QFont& labelFont) {
  QImage sheet(kSoundSheetWidth, kSoundSheetHeight, QImage::Format_RGB32);
  sheet.fill(kSoundGround);
  QPainter p(&sheet);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setPen(Qt::NoPen);
  for (int sound = 0; sound < 16; ++sound) {
    const int x = kSoundCellWidth * (sound % kSoundColumns);
    const int offY = 2 * kSoundCellHeight * (sound / kSoundColumns);
    const int onY = offY + kSoundCellHeight;
    const QString& label = SoundLabels()[static_cast<std::size_t>(sound)];

    // Off: a light tile inside a one-pixel dark border, dark label.
    p.fillRect(x + 1, offY + 1, kSoundCellWidth - 2, kSoundCellHeight - 2, kWindowColor);
    p.setBrush(kSoundGround);
    p.drawPath(LabelPath(labelFont, label, QPointF(x, offY)));

    // On: no tile, the same label in the light colour on the dark ground.
    p.setBrush(kWindowColor);
    p.drawPath(LabelPath(labelFont, label, QPointF(x, onY)));
  }
  return sheet;
}

QImage PaintKnobStrip() {
  QImage strip(kKnobStripWidth, kKnobFrameSize, QImage::Format_RGB32);
  strip.fill(kWindowColor);
  QPainter p(&strip);
  p.setRenderHint(QPainter::Antialiasing, true);
  for (int frame = 0; frame < kKnobFrameCount; ++frame) {
    p.save();
    p.setClipRect(frame * kKnobFrameSize, 0, kKnobFrameSize, kKnobFrameSize);
    p.translate(frame * kKnobFrameSize, 0);
    PaintKnobFrame(p, frame);
    p.restore();
  }
  return strip;
}

}  // namespace SkinArt
