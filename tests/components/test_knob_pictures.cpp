// The knob's three pictures as embedded: that they are what make_knobs draws now, the mask's disc
// row by row, the outline, ticks and focus ring; and the 16-colour writer.
#include <QFile>

#include <gtest/gtest.h>

#include <cstring>

#include "BmpWriter.h"
#include "Knob.h"
#include "KnobArt.h"

namespace {

constexpr QRgb kBlack = 0xFF000000, kWhite = 0xFFFFFFFF, kSilver = 0xFFC0C0C0, kGrey = 0xFF808080,
               kRed = 0xFFFF0000;

QByteArray ReadResource(const char* path) {
  QFile file(QString::fromLatin1(path));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
  return file.readAll();
}

std::uint32_t U32(const QByteArray& b, int at) {
  std::uint32_t v = 0;
  std::memcpy(&v, b.constData() + at, 4);
  return v;
}

// What make_knobs draws now, 27 pixels square in the standard palette; the file format is the
// writer's (Bmp4Writer below).
TEST(KnobPictures, AreWhatMakeKnobsDrawsNowInTheStandardPalette) {
  for (const auto& [path, drawn] : {std::pair(kKnobNormalPath, KnobArt::PaintKnob(false)),
                                    std::pair(kKnobFocusPath, KnobArt::PaintKnob(true)),
                                    std::pair(kKnobMaskPath, KnobArt::PaintMask())}) {
    const QByteArray file = ReadResource(path);
    EXPECT_EQ(file, EncodeBmp4(drawn)) << path;
    EXPECT_EQ(QImage(QString::fromLatin1(path)).size(), QSize(27, 27)) << path;
    for (int i = 0; i < 16; ++i)
      EXPECT_EQ(U32(file, 54 + 4 * i) | 0xFF000000u, kStandardPalette[i])
          << path << " colour " << i;
  }
}

TEST(KnobPictures, TheMaskIsBlackExactlyOverTheDisc) {
  // First and last black column of each row; rows not listed are white.
  const std::map<int, std::pair<int, int>> disc = {
      {4, {10, 16}}, {22, {10, 16}}, {5, {8, 18}},  {21, {8, 18}}, {6, {7, 19}},
      {20, {7, 19}}, {7, {6, 20}},   {19, {6, 20}}, {8, {5, 21}},  {9, {5, 21}},
      {17, {5, 21}}, {18, {5, 21}},  {10, {4, 22}}, {11, {4, 22}}, {12, {4, 22}},
      {13, {4, 22}}, {14, {4, 22}},  {15, {4, 22}}, {16, {4, 22}}};
  const QImage mask(kKnobMaskPath);
  for (int y = 0; y < 27; ++y)
    for (int x = 0; x < 27; ++x) {
      const auto row = disc.find(y);
      const bool black = row != disc.end() && row->second.first <= x && x <= row->second.second;
      EXPECT_EQ(mask.pixel(x, y), black ? kBlack : kWhite) << x << ", " << y;
    }
}

TEST(KnobPictures, KnobOnRedWithOutlineTicksAndShading) {
  const QImage knob(kKnobNormalPath);
  const std::pair<QPoint, QRgb> pixels[] = {
      {{0, 0}, kRed},      {{26, 26}, kRed},   {{2, 13}, kRed},   {{24, 13}, kRed},
      {{3, 13}, kBlack},   {{23, 13}, kBlack}, {{13, 3}, kBlack}, {{13, 23}, kBlack},
      {{13, 13}, kSilver}, {{7, 7}, kWhite},   {{19, 19}, kGrey}, {{13, 25}, kRed},
      {{13, 26}, kRed},  // no tick straight down
      {{4, 22}, kBlack},   {{0, 13}, kBlack},  {{4, 4}, kBlack},  {{13, 0}, kBlack},
      {{22, 4}, kBlack},   {{26, 13}, kBlack}, {{22, 22}, kBlack}};
  for (const auto& [at, colour] : pixels)
    EXPECT_EQ(knob.pixel(at), colour) << at.x() << ", " << at.y();
  // The outline spans columns and rows 3 to 23.
  int left = 27, right = -1;
  for (int x = 0; x < 27; ++x)
    for (int y = 2; y < 25; ++y)
      if (knob.pixel(x, y) == kBlack && x > 1 && x < 25) {
        left = std::min(left, x);
        right = std::max(right, x);
      }
  EXPECT_EQ(std::pair(left, right), std::pair(3, 23));
}

TEST(KnobPictures, TheFocusPictureAddsOnlyARingGreyUpperLeftWhiteLowerRight) {
  const QImage normal(kKnobNormalPath), focus(kKnobFocusPath);
  int ring = 0;
  for (int y = 0; y < 27; ++y)
    for (int x = 0; x < 27; ++x) {
      if (normal.pixel(x, y) == focus.pixel(x, y)) continue;
      ++ring;
      EXPECT_EQ(normal.pixel(x, y), kRed) << x << ", " << y;
      EXPECT_EQ(focus.pixel(x, y), (x - 13) + (y - 13) < 0 ? kGrey : kWhite) << x << ", " << y;
    }
  EXPECT_GT(ring, 50) << "a closed ring some 11 pixels out";
  EXPECT_LT(ring, 80);
  EXPECT_EQ(focus.pixel(2, 13), kGrey);
  EXPECT_EQ(focus.pixel(24, 13), kWhite);
  EXPECT_EQ(focus.pixel(13, 2), kGrey);
  EXPECT_EQ(focus.pixel(13, 24), kWhite);
}

TEST(Bmp4Writer, PacksTwoPixelsAByteBottomUpAndRefusesWhatItCannotHold) {
  QImage picture(3, 2, QImage::Format_Indexed8);
  picture.setColorTable({0xFF000000, 0xFF112233, 0xFFFFFFFF});
  picture.setPixel(0, 0, 1);
  picture.setPixel(1, 0, 2);
  picture.setPixel(2, 0, 0);
  picture.setPixel(0, 1, 2);
  picture.setPixel(1, 1, 2);
  picture.setPixel(2, 1, 1);
  const QByteArray bytes = EncodeBmp4(picture);
  ASSERT_EQ(bytes.size(), 118 + 2 * 4);
  EXPECT_EQ(U32(bytes, 2), 126u);
  EXPECT_EQ(U32(bytes, 10), 118u);
  EXPECT_EQ(U32(bytes, 46), 16u) << "colours used";
  EXPECT_EQ(U32(bytes, 58), 0x00112233u);
  EXPECT_EQ(U32(bytes, 54 + 4 * 15), 0u) << "the table is padded to 16";
  EXPECT_EQ(bytes.mid(118), QByteArray("\x22\x10\0\0\x12\0\0\0", 8)) << "the bottom row first";
  EXPECT_EQ(QImage::fromData(bytes).pixel(1, 0), 0xFFFFFFFFu);

  QImage tooMany(2, 2, QImage::Format_Indexed8);
  tooMany.setColorCount(17);
  EXPECT_TRUE(EncodeBmp4(tooMany).isEmpty());
  EXPECT_TRUE(EncodeBmp4(QImage(2, 2, QImage::Format_RGB32)).isEmpty());
  QImage badIndex(2, 1, QImage::Format_Indexed8);
  badIndex.setColorCount(16);
  badIndex.fill(0);
  badIndex.bits()[1] = 16;
  EXPECT_TRUE(EncodeBmp4(badIndex).isEmpty());
  EXPECT_TRUE(EncodeBmp4(QImage()).isEmpty());
}

}  // namespace
