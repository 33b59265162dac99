// The pure arithmetic of the skinned controls: frame rectangles, index clamping, the knob's frame
// of a position and its drag value.

#include "SkinControl.h"
#include "SkinKnob.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// 23 x 13 cells: the sound cell on a 1 x 2 grid, off at the offset and on one cell below; the
// last frame of a 67-frame strip; row-major numbering on a 3 x 2 grid; a negative index lies
// before the first frame (division toward zero); a column count below 1 is read as 1.
TEST(SkinFrameRect, NamesTheSheetRectangle) {
  struct Case {
    int index, cols, xOffset, yOffset;
    QRect expected;
  };
  const Case cases[] = {
      {0, 1, 46, 26, QRect(46, 26, 23, 13)},   {1, 1, 46, 26, QRect(46, 39, 23, 13)},
      {1, 1, 161, 26, QRect(161, 39, 23, 13)}, {66, 67, 0, 0, QRect(1518, 0, 23, 13)},
      {5, 3, 7, 2, QRect(53, 15, 23, 13)},     {-1, 3, 0, 0, QRect(-23, 0, 23, 13)},
      {2, 0, 0, 0, QRect(0, 26, 23, 13)}};
  for (const Case& c : cases)
    EXPECT_EQ(SkinFrameRect(c.index, c.cols, c.xOffset, c.yOffset, 23, 13), c.expected) << c.index;
}

TEST(SkinClampGlyphIndex, LowersOnlyPastTheLastFrame) {
  struct Case {
    int value, cols, rows, expected;
  };
  // The last: more frames than an int counts, nothing to lower.
  const Case cases[] = {{5, 1, 2, 1},    {1, 1, 1, 0},
                        {66, 1, 1, 0},   {66, 67, 1, 66},
                        {67, 67, 1, 66}, {0, 67, 1, 0},
                        {-3, 1, 2, -3},  {INT_MAX, 67, 1, 66},
                        {7, 0, 0, 0},    {INT_MAX, 65536, 65536, INT_MAX}};
  for (const Case& c : cases)
    EXPECT_EQ(SkinClampGlyphIndex(c.value, c.cols, c.rows), c.expected)
        << c.value << " on " << c.cols << " x " << c.rows;
}

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
  // Extreme ranges stay inside the strip.
  EXPECT_EQ(SkinKnobGlyphOfPosition(INT_MIN, INT_MIN, INT_MAX, 67), 0);
  EXPECT_EQ(SkinKnobGlyphOfPosition(INT_MAX, INT_MIN, INT_MAX, 67), 66);
  EXPECT_EQ(SkinKnobGlyphOfPosition(0, INT_MIN, INT_MAX, 67), 33);
  EXPECT_EQ(SkinKnobGlyphOfPosition(5, 5, 5, 67), 0);  // no range: first frame, no division
}

// One pixel either way leaves the value; the full sweep and one pixel short of it; overshoot
// clamps at either end; 3 down on -100..100 truncates 4.6875; no overflow on a full int range.
TEST(SkinKnobDragValue, ValueFromPressPointAtSensitivity128) {
  struct Case {
    int min, max, start, dy, expected;
  };
  const Case cases[] = {{0, 127, 64, 1, 64},    {0, 127, 64, -1, 64},   {0, 127, 64, 2, 63},
                        {0, 127, 64, -2, 65},   {0, 127, 0, -128, 127}, {0, 127, 0, -127, 126},
                        {0, 127, 0, -500, 127}, {0, 127, 10, 500, 0},   {-100, 100, 0, -64, 100},
                        {-100, 100, 0, 1, -1},  {-100, 100, 0, -1, 1},  {-100, 100, 0, 3, -4},
                        {0, 100, 50, -10, 57}};
  for (const Case& c : cases)
    EXPECT_EQ(SkinKnobDragValue(c.start, c.min, c.max, 128, c.dy), c.expected)
        << c.start << " on " << c.min << ".." << c.max << " moved " << c.dy;
  EXPECT_EQ(SkinKnobDragValue(0, INT_MIN, INT_MAX, 128, -200), INT_MAX);
  EXPECT_EQ(SkinKnobDragValue(0, INT_MIN, INT_MAX, 128, 200), INT_MIN);
  // A sensitivity below one is read as one.
  EXPECT_EQ(SkinKnobDragValue(0, 0, 127, 0, -1), 127);
  EXPECT_EQ(SkinKnobDragValue(50, 0, 127, -5, 0), 50);
}

}  // namespace
