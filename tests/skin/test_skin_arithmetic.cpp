// The pure arithmetic of the skinned controls: frame rectangles, index clamping, the knob's frame
// of a position and its drag value.

#include "SkinControl.h"
#include "SkinKnob.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct FrameRectCase {
  int index, cols, xOffset, yOffset, width, height;
  QRect expected;
};

class FrameRectTest : public ::testing::TestWithParam<FrameRectCase> {};

TEST_P(FrameRectTest, NamesTheSheetRectangle) {
  const FrameRectCase& c = GetParam();
  EXPECT_EQ(SkinFrameRect(c.index, c.cols, c.xOffset, c.yOffset, c.width, c.height), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameRectTest,
    ::testing::Values(
        // Sound cell on a 1 x 2 grid: off at the offset, on one cell height below.
        FrameRectCase{0, 1, 46, 26, 23, 13, QRect(QPoint(46, 26), QPoint(68, 38))},
        FrameRectCase{1, 1, 46, 26, 23, 13, QRect(QPoint(46, 39), QPoint(68, 51))},
        FrameRectCase{1, 1, 161, 26, 23, 13, QRect(161, 39, 23, 13)},
        // Knob strip: 67 frames in one row.
        FrameRectCase{33, 67, 0, 0, 22, 22, QRect(726, 0, 22, 22)},
        FrameRectCase{66, 67, 0, 0, 22, 22, QRect(1452, 0, 22, 22)},
        // Row-major numbering on a 3 x 2 grid.
        FrameRectCase{4, 3, 0, 0, 10, 5, QRect(10, 5, 10, 5)},
        FrameRectCase{5, 3, 7, 2, 10, 5, QRect(27, 7, 10, 5)},
        // A negative index lies before the first frame (C++ division toward zero).
        FrameRectCase{-1, 3, 0, 0, 10, 5, QRect(-10, 0, 10, 5)},
        // A column count below 1 is read as 1 instead of dividing by zero.
        FrameRectCase{2, 0, 0, 0, 10, 5, QRect(0, 10, 10, 5)}));

TEST(SkinClampGlyphIndex, LowersOnlyPastTheLastFrame) {
  struct Case {
    int value, cols, rows, expected;
  };
  const Case cases[] = {
      {5, 1, 2, 1},
      {1, 1, 1, 0},
      {66, 1, 1, 0},
      {66, 67, 1, 66},
      {67, 67, 1, 66},
      {0, 67, 1, 0},
      {-3, 1, 2, -3},
      {INT_MAX, 67, 1, 66},
      {7, 0, 0, 0},
      {INT_MAX, 65536, 65536, INT_MAX},  // more frames than an int counts: nothing to lower
  };
  for (const Case& c : cases)
    EXPECT_EQ(SkinClampGlyphIndex(c.value, c.cols, c.rows), c.expected)
        << c.value << " on " << c.cols << " x " << c.rows;
}

struct GlyphCase {
  int min, max, position, expected;
};

class KnobGlyphTest : public ::testing::TestWithParam<GlyphCase> {};

TEST_P(KnobGlyphTest, FrameOfPositionOn67Frames) {
  const GlyphCase& c = GetParam();
  EXPECT_EQ(SkinKnobGlyphOfPosition(c.position, c.min, c.max, 67), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RangesInUse, KnobGlyphTest,
    ::testing::Values(GlyphCase{0, 127, 0, 0}, GlyphCase{0, 127, 1, 0}, GlyphCase{0, 127, 2, 1},
                      GlyphCase{0, 127, 63, 32}, GlyphCase{0, 127, 64, 33},
                      GlyphCase{0, 127, 126, 65}, GlyphCase{0, 127, 127, 66},
                      GlyphCase{0, 100, 0, 0}, GlyphCase{0, 100, 2, 1}, GlyphCase{0, 100, 50, 33},
                      GlyphCase{0, 100, 100, 66}, GlyphCase{-100, 100, -100, 0},
                      GlyphCase{-100, 100, -50, 16}, GlyphCase{-100, 100, 0, 33},
                      GlyphCase{-100, 100, 50, 49}, GlyphCase{-100, 100, 100, 66}));

TEST(SkinKnobGlyphOfPosition, MatchesIntegerQuotientOverTheRangesInUse) {
  struct Range {
    int min, max;
  };
  for (Range r : {Range{0, 127}, Range{0, 100}, Range{-100, 100}}) {
    for (int p = r.min; p <= r.max; ++p) {
      const int exact = 66 * (p - r.min) / (r.max - r.min);
      ASSERT_EQ(SkinKnobGlyphOfPosition(p, r.min, r.max, 67), exact)
          << p << " on " << r.min << ".." << r.max;
    }
  }
}

TEST(SkinKnobGlyphOfPosition, ExtremeRangesStayInsideTheStrip) {
  EXPECT_EQ(SkinKnobGlyphOfPosition(INT_MIN, INT_MIN, INT_MAX, 67), 0);
  EXPECT_EQ(SkinKnobGlyphOfPosition(INT_MAX, INT_MIN, INT_MAX, 67), 66);
  EXPECT_EQ(SkinKnobGlyphOfPosition(0, INT_MIN, INT_MAX, 67), 33);
  EXPECT_EQ(SkinKnobGlyphOfPosition(5, 5, 5, 67), 0);  // no range: first frame, no division
}

struct DragCase {
  const char* what;
  int min, max, start, dy, expected;
};

class KnobDragTest : public ::testing::TestWithParam<DragCase> {};

TEST_P(KnobDragTest, ValueFromPressPoint) {
  const DragCase& c = GetParam();
  EXPECT_EQ(SkinKnobDragValue(c.start, c.min, c.max, 128, c.dy), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Sensitivity128, KnobDragTest,
    ::testing::Values(DragCase{"one pixel down leaves the value", 0, 127, 64, 1, 64},
                      DragCase{"one pixel up leaves the value", 0, 127, 64, -1, 64},
                      DragCase{"two pixels down", 0, 127, 64, 2, 63},
                      DragCase{"two pixels up", 0, 127, 64, -2, 65},
                      DragCase{"full sweep up", 0, 127, 0, -128, 127},
                      DragCase{"one pixel short of the sweep", 0, 127, 0, -127, 126},
                      DragCase{"overshoot clamps at the top", 0, 127, 0, -500, 127},
                      DragCase{"overshoot clamps at the bottom", 0, 127, 10, 500, 0},
                      DragCase{"symmetric range, 64 up", -100, 100, 0, -64, 100},
                      DragCase{"symmetric range, 1 down", -100, 100, 0, 1, -1},
                      DragCase{"symmetric range, 1 up", -100, 100, 0, -1, 1},
                      DragCase{"symmetric range, 3 down truncates 4.6875", -100, 100, 0, 3, -4},
                      DragCase{"mix range", 0, 100, 50, -10, 57},
                      DragCase{"no overflow on a full int range", INT_MIN, INT_MAX, 0, -200,
                               INT_MAX},
                      DragCase{"no overflow far below", INT_MIN, INT_MAX, 0, 200, INT_MIN}));

TEST(SkinKnobDragValue, SensitivityBelowOneIsReadAsOne) {
  EXPECT_EQ(SkinKnobDragValue(0, 0, 127, 0, -1), 127);
  EXPECT_EQ(SkinKnobDragValue(50, 0, 127, -5, 0), 50);
}

}  // namespace
