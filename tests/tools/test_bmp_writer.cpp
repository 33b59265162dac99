// The 24-bit BMP writer: header fields, bottom-up rows, zero row padding, and a round trip
// through Qt's reader; and the painted sheets' geometry before they are written.

#include "BmpWriter.h"
#include "SkinArt.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>

namespace {

std::uint32_t U32(const QByteArray& b, int at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

QImage Pattern(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.setPixel(x, y, qRgba((10 * x + 1) & 0xFF, 20 * y + 2, (x * 7 + y * 13) & 0xFF, 77));
  return image;
}

class BmpWidthTest : public ::testing::TestWithParam<int> {};

TEST_P(BmpWidthTest, HeaderRowsAndPadding) {
  const int width = GetParam();
  const int height = 3;
  const int stride = (3 * width + 3) / 4 * 4;
  const QByteArray b = EncodeBmp24(Pattern(width, height));
  ASSERT_EQ(b.size(), 54 + stride * height);
  EXPECT_EQ(b.left(2), QByteArray("BM"));
  EXPECT_EQ(U32(b, 2), static_cast<std::uint32_t>(b.size()));
  EXPECT_EQ(U32(b, 10), 54u);
  EXPECT_EQ(U32(b, 14), 40u);
  EXPECT_EQ(U32(b, 18), static_cast<std::uint32_t>(width));
  EXPECT_EQ(U32(b, 22), static_cast<std::uint32_t>(height));
  EXPECT_EQ(U32(b, 26), 1u | 24u << 16);  // planes, bits per pixel
  EXPECT_EQ(U32(b, 30), 0u);
  EXPECT_EQ(U32(b, 34), static_cast<std::uint32_t>(stride * height));
  for (int at : {6, 38, 42, 46, 50}) EXPECT_EQ(U32(b, at), 0u) << at;
  // First stored row is the bottom one, pixels blue-green-red, then zero padding.
  for (int stored = 0; stored < height; ++stored) {
    const int y = height - 1 - stored;
    for (int x = 0; x < width; ++x) {
      const int at = 54 + stored * stride + 3 * x;
      ASSERT_EQ(static_cast<std::uint8_t>(b[at]), (x * 7 + y * 13) & 0xFF);
      ASSERT_EQ(static_cast<std::uint8_t>(b[at + 1]), 20 * y + 2);
      ASSERT_EQ(static_cast<std::uint8_t>(b[at + 2]), (10 * x + 1) & 0xFF);
    }
    for (int at = 54 + stored * stride + 3 * width; at < 54 + (stored + 1) * stride; ++at)
      ASSERT_EQ(b[at], '\0');
  }
  const QImage source = Pattern(width, height);
  const QImage back = QImage::fromData(b, "BMP");
  ASSERT_EQ(back.size(), QSize(width, height));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      ASSERT_EQ(back.pixel(x, y) & 0xFFFFFF, source.pixel(x, y) & 0xFFFFFF);
}

// Widths with 0, 1, 2 and 3 bytes of row padding.
INSTANTIATE_TEST_SUITE_P(Widths, BmpWidthTest, ::testing::Values(1, 2, 3, 4, 5, 184, 1474));

TEST(BmpWriter, EmptyPictureAndUnwritablePathFailClearly) {
  EXPECT_TRUE(EncodeBmp24(QImage()).isEmpty());
  QString error;
  EXPECT_FALSE(WriteBmp24(QImage(), "/tmp/never.bmp", &error));
  EXPECT_FALSE(error.isEmpty());
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  error.clear();
  EXPECT_FALSE(WriteBmp24(Pattern(2, 2), dir.filePath("missing/folder/x.bmp"), &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_TRUE(WriteBmp24(Pattern(2, 2), dir.filePath("x.bmp"), &error)) << error.toStdString();
  QFile written(dir.filePath("x.bmp"));
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_EQ(written.readAll(), EncodeBmp24(Pattern(2, 2)));
}

TEST(SkinArt, SheetGeometryAndPointerAngles) {
  EXPECT_EQ(SkinArt::PaintKnobStrip().size(), QSize(1474, 22));
  QFont font;
  font.setPixelSize(64);
  EXPECT_EQ(SkinArt::PaintSoundSelectionSheet(font).size(), QSize(184, 52));
  EXPECT_DOUBLE_EQ(SkinArt::KnobPointerDegrees(0), -135.0);
  EXPECT_DOUBLE_EQ(SkinArt::KnobPointerDegrees(33), 0.0);
  EXPECT_DOUBLE_EQ(SkinArt::KnobPointerDegrees(66), 135.0);
  EXPECT_NEAR(SkinArt::KnobPointerDegrees(11), -90.0, 1e-9);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);  // fonts need it
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
