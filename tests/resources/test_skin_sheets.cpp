// The committed skin sheets, read as the program reads them (from the compiled-in resources):
// file format, the colours that must match the window, and the knob pointer's direction.

#include "BmpWriter.h"
#include "SkinResources.h"

#include <QColor>
#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

const QColor kWindow(212, 208, 200);
const QColor kGround(88, 10, 21);
const QColor kFace(224, 221, 215);
const QColor kPointer(107, 106, 103);

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

// A sheet as the controls see it, read through Qt from the compiled-in resources.
QImage Sheet(const char* path) { return QImage(QString::fromLatin1(path)); }

// The compiled-in sheets are the committed files, 24-bit bottom-up bitmaps with zeroed row
// padding as the writer makes them (test_bmp_writer): written again from what Qt reads of them,
// they are the same bytes.
TEST(SkinSheets, CompiledInSheetsAreTheCommittedFilesInTheWritersFormat) {
  for (const auto& [name, size] : {std::pair("SoundSelection.bmp", QSize(184, 52)),
                                   std::pair("KnobStrip.bmp", QSize(1474, 22))}) {
    const QByteArray committed =
        ReadAll(QStringLiteral(HALVORINE_SOURCE_DIR "/resources/skins/") + name);
    ASSERT_FALSE(committed.isEmpty()) << name;
    EXPECT_EQ(ReadAll(QStringLiteral(":/skins/") + name), committed) << name;
    const QImage read = QImage::fromData(committed, "BMP");
    EXPECT_EQ(read.size(), size) << name;
    EXPECT_EQ(EncodeBmp24(read), committed) << name;
  }
}

// Where `c` lies on the way from `from` (0) to `to` (1), or -1 if it is not a blend of the two.
double BlendFraction(const QColor& c, const QColor& from, const QColor& to) {
  const double t = double(c.red() - from.red()) / (to.red() - from.red());
  const int tolerance = 4;  // 8-bit blending rounds each channel on its own
  auto fits = [&](int a, int b, int v) { return std::abs(a + t * (b - a) - v) <= tolerance; };
  if (t < -0.01 || t > 1.01 || !fits(from.green(), to.green(), c.green()) ||
      !fits(from.blue(), to.blue(), c.blue()))
    return -1;
  return t;
}

bool InLabelBox(int x, int y) { return x >= 4 && x <= 19 && y >= 2 && y <= 10; }

TEST(SoundSelectionSheet, CellsTilesBorderAndLabels) {
  const QImage sheet = Sheet(kSoundSelectionSkinPath);
  ASSERT_EQ(sheet.width(), 184);
  for (int sound = 0; sound < 16; ++sound) {
    const int left = 23 * (sound % 8);
    const int offTop = 26 * (sound / 8);
    const int onTop = offTop + 13;
    int darkLabelPixels = 0, lightLabelPixels = 0;
    for (int y = 0; y < 13; ++y) {
      for (int x = 0; x < 23; ++x) {
        const QColor off = sheet.pixelColor(left + x, offTop + y);
        const QColor on = sheet.pixelColor(left + x, onTop + y);
        const bool border = x == 0 || y == 0 || x == 22 || y == 12;
        if (border) {
          ASSERT_EQ(off, kGround) << "sound " << sound << " off border " << x << "," << y;
        } else if (!InLabelBox(x, y)) {
          ASSERT_EQ(off, kWindow) << "sound " << sound << " off tile " << x << "," << y;
        }
        if (!InLabelBox(x, y)) {
          ASSERT_EQ(on, kGround) << "sound " << sound << " on cell " << x << "," << y;
          continue;
        }
        // Inside the label box: blends of the two colours, the on label the inverse of the off
        // label at the same place.
        const double tOff = BlendFraction(off, kGround, kWindow);
        const double tOn = BlendFraction(on, kGround, kWindow);
        ASSERT_GE(tOff, 0) << "sound " << sound << " off label " << x << "," << y;
        ASSERT_GE(tOn, 0) << "sound " << sound << " on label " << x << "," << y;
        EXPECT_NEAR(tOff + tOn, 1.0, 0.03) << "sound " << sound << " label " << x << "," << y;
        darkLabelPixels += tOff < 0.5;
        lightLabelPixels += tOn > 0.5;
      }
    }
    EXPECT_GE(darkLabelPixels, 20) << "sound " << sound << " has no visible label";
    EXPECT_EQ(darkLabelPixels, lightLabelPixels) << "sound " << sound;
  }
}

constexpr int kFrames = 67;
constexpr int kFrameSize = 22;

TEST(KnobStrip, SurroundFaceAndPointerColours) {
  const QImage strip = Sheet(kKnobSkinPath);
  ASSERT_EQ(strip.width(), kFrames * kFrameSize);
  for (int f = 0; f < kFrames; ++f) {
    const int left = kFrameSize * f;
    EXPECT_EQ(strip.pixelColor(left, 0), kWindow) << "frame " << f;
    EXPECT_EQ(strip.pixelColor(left + 21, 0), kWindow) << "frame " << f;
    // Below the centre, where the pointer never goes, the face shows its own colour.
    EXPECT_EQ(strip.pixelColor(left + 10, 15), kFace) << "frame " << f;
    EXPECT_EQ(strip.pixelColor(left + 11, 15), kFace) << "frame " << f;
  }
  EXPECT_EQ(strip.pixelColor(33 * kFrameSize + 10, 5), kPointer);  // straight up
  EXPECT_EQ(strip.pixelColor(33 * kFrameSize + 11, 5), kPointer);
  EXPECT_EQ(strip.pixelColor(11 * kFrameSize + 5, 10), kPointer);   // left
  EXPECT_EQ(strip.pixelColor(55 * kFrameSize + 16, 11), kPointer);  // right
}

TEST(KnobStrip, OnlyThePointerChangesBetweenFrames) {
  const QImage strip = Sheet(kKnobSkinPath);
  for (int f = 1; f < kFrames; ++f) {
    for (int y = 0; y < kFrameSize; ++y) {
      for (int x = 0; x < kFrameSize; ++x) {
        if (std::hypot(x + 0.5 - 11, y + 0.5 - 11) <= 10.6) continue;  // within the pointer's reach
        ASSERT_EQ(strip.pixelColor(kFrameSize * f + x, y), strip.pixelColor(x, y))
            << "frame " << f << " at " << x << "," << y;
      }
    }
  }
}

class PointerDirectionTest : public ::testing::TestWithParam<int> {};

// The pointer's direction, measured from the pixels: the darkness-weighted centre of the dark
// pixels on the face, seen from the knob's centre, in degrees clockwise from straight up.
double MeasuredPointerDegrees(const QImage& strip, int frame) {
  double sumX = 0, sumY = 0;
  for (int y = 0; y < kFrameSize; ++y) {
    for (int x = 0; x < kFrameSize; ++x) {
      const double dx = x + 0.5 - 11, dy = y + 0.5 - 11;
      const double r = std::hypot(dx, dy);
      if (r < 2 || r > 8.5) continue;
      const QColor c = strip.pixelColor(kFrameSize * frame + x, y);
      const double weight = std::max(0.0, 200.0 - (c.red() + c.green() + c.blue()) / 3.0);
      sumX += weight * dx;
      sumY += weight * dy;
    }
  }
  return std::atan2(sumX, -sumY) * 180.0 / std::numbers::pi;
}

TEST_P(PointerDirectionTest, PointsAtItsAngle) {
  const int frame = GetParam();
  const QImage strip = Sheet(kKnobSkinPath);
  const double expected = -135.0 + frame * 270.0 / 66.0;
  EXPECT_NEAR(MeasuredPointerDegrees(strip, frame), expected, 3.0) << "frame " << frame;
}

INSTANTIATE_TEST_SUITE_P(Frames, PointerDirectionTest,
                         ::testing::Values(0, 11, 22, 33, 44, 55, 66));

}  // namespace
