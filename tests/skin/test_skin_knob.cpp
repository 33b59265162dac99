// TSkinKnob: setters, change events, frames, and dragging with real mouse input.

#include "SkinKnob.h"
#include "SkinTestSupport.h"

#include <tuple>
#include <vector>

namespace {

class SkinKnobTest : public KnobOnStrip {
protected:
  SkinKnobTest() {
    Knob->OnChange = [this](QObject* sender) {
      EXPECT_EQ(sender, Knob);
      // The new frame is already on the screen when the handler runs.
      EXPECT_EQ(ShownFrame(), Knob->GetGlyphIndex());
      Changes.push_back(Knob->GetPosition());
    };
  }

  void Range(int min, int max, int position) {
    Knob->SetMax(max);  // Max first, so that any range can be reached
    Knob->SetMin(min);
    Knob->SetMax(max);
    Knob->SetPosition(position);
    Changes.clear();
  }

  int ShownFrame() { return SheetPlace(H.OnScreen(Knob).pixel(0, 0)).x() / 22; }

  // Press at the knob's centre, then move by each offset from the press point in turn.
  std::vector<int> Drag(const std::vector<QPoint>& offsets) {
    const QPoint press(11, 11);
    std::vector<int> values;
    H.Press(Qt::LeftButton, press);
    for (QPoint d : offsets) {
      H.Move(press + d);
      values.push_back(Knob->GetPosition());
    }
    H.Release(Qt::LeftButton, press + (offsets.empty() ? QPoint() : offsets.back()));
    return values;
  }
};

TEST_F(SkinKnobTest, SetPositionRaisesOnChangeAndShowsItsFrameRangesMoveItSilently) {
  H.Show();
  Range(0, 127, 0);
  struct Case {
    int set, stored, frame;
  };
  const Case cases[] = {{64, 64, 33}, {64, 64, 33},   {200, 127, 66},
                        {-5, 0, 0},   {126, 126, 65}, {2, 2, 1}};
  for (const Case& c : cases) {
    Changes.clear();
    Knob->SetPosition(c.set);
    EXPECT_EQ(Knob->GetPosition(), c.stored) << c.set;
    EXPECT_EQ(Knob->GetGlyphIndex(), c.frame) << c.set;
    EXPECT_EQ(ShownFrame(), c.frame) << c.set;
    EXPECT_EQ(Changes, std::vector<int>{c.stored}) << c.set;
  }
  // Min and Max refuse broken ranges and move the position silently.
  Range(0, 100, 80);
  Knob->SetMin(100);  // would equal Max
  Knob->SetMin(150);
  Knob->SetMax(0);  // would equal Min
  Knob->SetMax(-10);
  EXPECT_EQ(Knob->GetMin(), 0);
  EXPECT_EQ(Knob->GetMax(), 100);
  EXPECT_EQ(Knob->GetPosition(), 80);

  Knob->SetMax(50);  // lowers Position, recomputes the frame, raises nothing
  EXPECT_EQ(Knob->GetPosition(), 50);
  EXPECT_EQ(ShownFrame(), 66);
  Knob->SetMin(40);
  EXPECT_EQ(Knob->GetPosition(), 50);
  EXPECT_EQ(Knob->GetGlyphIndex(), 66);
  Knob->SetMax(60);  // Position stays, but its frame follows the new range
  EXPECT_EQ(ShownFrame(), 33);
  Knob->SetMin(55);
  EXPECT_EQ(Knob->GetPosition(), 55);
  EXPECT_EQ(ShownFrame(), 0);
  EXPECT_TRUE(Changes.empty());
}

// The defaults; properties by name; a range applied Min first against the default Max; the
// layout's order (grid, index, range, position, only then the handler) raises nothing.
TEST_F(SkinKnobTest, DefaultsAndPropertiesByName) {
  TSkinKnob k;
  EXPECT_EQ(k.size(), QSize(27, 27));
  EXPECT_EQ(
      std::tuple(k.GetMin(), k.GetMax(), k.GetPosition(), k.GetSensitivity(), k.GetGlyphIndex()),
      std::tuple(0, 100, 0, 128, 0));
  k.setProperty("Min", 200);
  k.setProperty("Max", 300);
  EXPECT_EQ(std::pair(k.GetMin(), k.GetMax()), std::pair(0, 300));
  k.SetSensitivity(0);
  k.SetSensitivity(-3);
  EXPECT_EQ(k.GetSensitivity(), 128) << "below one is refused";
  k.SetSkinSource(&Source);
  const std::pair<const char*, int> properties[] = {{"GlyphColCount", 67}, {"GlyphRowCount", 1},
                                                    {"GlyphIndex", 66},    {"Max", 127},
                                                    {"Position", 127},     {"Sensitivity", 64}};
  for (const auto& [name, value] : properties) ASSERT_TRUE(k.setProperty(name, value)) << name;
  int calls = 0;
  k.OnChange = [&](QObject*) { ++calls; };
  EXPECT_EQ(std::tuple(k.GetGlyphIndex(), k.GetPosition(), k.GetSensitivity(), calls),
            std::tuple(66, 127, 64, 0));
}

// The value follows the pointer from the press point, also back from beyond either end; OnChange
// comes on every move, also when the value stays.
TEST_F(SkinKnobTest, MouseDrags) {
  struct Case {
    int min, max, start;
    std::vector<QPoint> offsets;  // pointer relative to the press, one per move
    std::vector<int> values;      // Position after each move
  };
  const Case cases[] = {
      {0, 127, 64, {{0, 1}, {0, 2}}, {64, 63}},
      {0, 127, 120, {{0, -20}, {0, -60}, {0, -8}, {0, -7}, {0, 0}}, {127, 127, 127, 126, 120}},
      {0, 127, 3, {{0, 50}, {0, 9}, {0, 4}, {0, 0}}, {0, 0, 0, 3}},
      {-100, 100, 0, {{0, -1}, {0, -2}, {0, -3}, {0, 3}}, {1, 3, 4, -4}},
      {0, 100, 50, {{-11, 0}, {30, 0}, {30, 1}}, {50, 50, 50}},  // horizontal moves leave it
      {0, 127, 64, {{189, -41}}, {104}},               // off the knob: 64 + 127 * 41 / 128
      {0, 127, 64, {{0, -400}, {0, 400}}, {127, 0}}};  // far outside the window
  H.Show();
  for (const Case& c : cases) {
    Range(c.min, c.max, c.start);
    EXPECT_EQ(Drag(c.offsets), c.values) << c.start << " on " << c.min << ".." << c.max;
    EXPECT_EQ(Changes, c.values) << c.start << " on " << c.min << ".." << c.max;
    H.Move({11, 60});  // the release ended the drag
    EXPECT_EQ(Knob->GetPosition(), c.values.back());
    EXPECT_EQ(Changes, c.values);
  }
}

TEST_F(SkinKnobTest, RightButtonRaisesMouseDownButStartsNoDrag) {
  H.Show();
  Range(0, 127, 64);
  H.Move({11, 11});
  std::vector<Qt::MouseButton> downs;
  Knob->OnMouseDown = [&](QObject*, Qt::MouseButton b, Qt::KeyboardModifiers, int, int) {
    downs.push_back(b);
  };
  H.Press(Qt::RightButton, {11, 11});
  H.Move({11, 0});
  H.Release(Qt::RightButton, {11, 0});
  EXPECT_EQ(downs, std::vector<Qt::MouseButton>{Qt::RightButton});
  EXPECT_EQ(Knob->GetPosition(), 64);
  EXPECT_TRUE(Changes.empty());
}

TEST_F(SkinKnobTest, SecondPressOfADoubleClickRestartsTheDrag) {
  H.Show();
  Range(0, 127, 64);
  H.Move({11, 11});
  EventCounter doubleClicks(Knob, QEvent::MouseButtonDblClick);
  const int t = 1'000'000;
  H.Raw(QEvent::MouseButtonPress, {11, 11}, Qt::LeftButton, Qt::LeftButton, t);
  H.Raw(QEvent::MouseMove, {11, 14}, Qt::LeftButton, Qt::NoButton, t + 10);  // 3 down: 64 - 2
  EXPECT_EQ(Knob->GetPosition(), 62);
  H.Raw(QEvent::MouseButtonRelease, {11, 14}, Qt::NoButton, Qt::LeftButton, t + 20);
  H.Raw(QEvent::MouseButtonPress, {11, 13}, Qt::LeftButton, Qt::LeftButton,
        t + 30);  // a double click
  H.Raw(QEvent::MouseMove, {11, 11}, Qt::LeftButton, Qt::NoButton, t + 40);
  EXPECT_EQ(doubleClicks.Count, 1);
  EXPECT_EQ(Knob->GetPosition(), 63);  // 2 up from the second press and the value it found
  H.Raw(QEvent::MouseButtonRelease, {11, 11}, Qt::NoButton, Qt::LeftButton, t + 50);
}

}  // namespace
