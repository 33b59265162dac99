// TSkinButton and TSkinCheckBox with real mouse input: frames on the screen and click events.

#include "SkinButton.h"
#include "SkinCheckBox.h"
#include "SkinTestSupport.h"

#include <vector>

namespace {

// Two-frame controls stand on a 1 x 2 grid of 23 x 13 cells, as the sound boxes do.
template <typename T>
class TwoFrameTest : public ::testing::Test {
protected:
  TwoFrameTest() {
    Source.SetBitmap(CoordinateSheet(184, 52));
    Control = H.template Add<T>();
    Control->resize(23, 13);
    Control->SetSkinSource(&Source);
    Control->SetGlyphRowCount(2);
    Control->SetSkinXOffset(46);
    Control->SetSkinYOffset(26);
    H.Show();
    H.Move({60, 60});  // the pointer starts away from the control
  }

  int ShownFrame() { return SheetPlace(H.OnScreen(Control).pixel(0, 0)) == QPoint(46, 26) ? 0 : 1; }

  TSkinSource Source;
  Host H;
  T* Control = nullptr;
  std::vector<QString> Log;
};

using SkinButtonTest = TwoFrameTest<TSkinButton>;
using SkinCheckBoxTest = TwoFrameTest<TSkinCheckBox>;

// A left press shows frame one before OnMouseDown, the release clicks while it is still shown;
// the right button raises OnMouseDown alone.
TEST_F(SkinButtonTest, PressShowsFrameOneBeforeMouseDownAndReleaseClicksWhileStillShown) {
  Control->OnMouseDown = [&](QObject*, Qt::MouseButton b, Qt::KeyboardModifiers, int, int) {
    Log.push_back(QString("down %1 frame %2").arg(b).arg(ShownFrame()));
  };
  Control->OnMouseUp = [&](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    Log.push_back(QString("up frame %1").arg(ShownFrame()));
  };
  Control->OnClick = [&](QObject* sender) {
    EXPECT_EQ(sender, Control);
    Log.push_back(QString("click frame %1").arg(ShownFrame()));
  };
  H.Press(Qt::LeftButton, {5, 5});
  EXPECT_EQ(ShownFrame(), 1);
  H.Release(Qt::LeftButton, {5, 5});
  EXPECT_EQ(ShownFrame(), 0);
  H.Press(Qt::RightButton, {5, 5});
  EXPECT_EQ(ShownFrame(), 0);
  H.Move({30, 5});
  H.Move({5, 5});
  EXPECT_EQ(ShownFrame(), 0);
  H.Release(Qt::RightButton, {5, 5});
  const std::vector<QString> expected = {"down 1 frame 1", "up frame 1", "click frame 1",
                                         "down 2 frame 0", "up frame 0"};
  EXPECT_EQ(Log, expected);
}

struct ButtonPath {
  const char* what;
  std::vector<QPoint> moves;  // pointer places while the left button is held (client pixels)
  std::vector<int> frames;    // frame on the screen after each move
  QPoint release;
  int clicks;
};

class SkinButtonPathTest : public SkinButtonTest,
                           public ::testing::WithParamInterface<ButtonPath> {};

TEST_P(SkinButtonPathTest, TracksThePointerWhileHeld) {
  const ButtonPath& p = GetParam();
  int clicks = 0;
  Control->OnClick = [&](QObject*) { ++clicks; };
  H.Press(Qt::LeftButton, {5, 5});
  for (std::size_t i = 0; i < p.moves.size(); ++i) {
    H.Move(p.moves[i]);
    EXPECT_EQ(ShownFrame(), p.frames[i]) << p.what << ", move " << i;
  }
  H.Release(Qt::LeftButton, p.release);
  EXPECT_EQ(clicks, p.clicks) << p.what;
  EXPECT_EQ(ShownFrame(), 0) << p.what;
  // Idle again: crossing the border without a button held changes nothing.
  H.Move({5, 5});
  H.Move({60, 60});
  H.Move({5, 5});
  EXPECT_EQ(ShownFrame(), 0) << p.what;
  EXPECT_EQ(clicks, p.clicks) << p.what;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SkinButtonPathTest,
    ::testing::Values(
        ButtonPath{"moved inside", {{10, 8}, {22, 12}}, {1, 1}, {22, 12}, 1},
        ButtonPath{"dragged off and released outside", {{30, 5}}, {0}, {30, 5}, 0},
        ButtonPath{"dragged off and back on", {{5, -3}, {5, 2}}, {0, 1}, {5, 2}, 1},
        ButtonPath{"off, on, off again", {{-1, 5}, {0, 5}, {23, 5}}, {0, 1, 0}, {40, 40}, 0},
        ButtonPath{"far outside the window", {{500, 500}, {5, 5}}, {0, 1}, {5, 5}, 1}),
    [](const ::testing::TestParamInfo<ButtonPath>& info) {
      return "Path" + std::to_string(info.index);
    });

TEST_F(SkinCheckBoxTest, LeftPressTogglesAndClicksBeforeTheRelease) {
  Control->OnClick = [&](QObject* sender) {
    EXPECT_EQ(sender, Control);
    Log.push_back(
        QString("click checked %1 frame %2").arg(Control->GetChecked()).arg(ShownFrame()));
  };
  Control->OnMouseUp = [&](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
    Log.push_back("up");
  };
  H.Press(Qt::LeftButton, {5, 5});
  EXPECT_TRUE(Control->GetChecked());
  EXPECT_EQ(ShownFrame(), 1);
  H.Release(Qt::LeftButton, {5, 5});
  H.Press(Qt::LeftButton, {5, 5});
  H.Release(Qt::LeftButton, {5, 5});
  EXPECT_FALSE(Control->GetChecked());
  EXPECT_EQ(ShownFrame(), 0);
  const std::vector<QString> expected = {"click checked 1 frame 1", "up", "click checked 0 frame 0",
                                         "up"};
  EXPECT_EQ(Log, expected);
}

// A double click toggles twice; a right press and changes from code raise no click (a change
// from code repaints, even to the same state); a handler that checks the box again (the window's
// sound boxes act as a radio group) keeps it checked.
TEST_F(SkinCheckBoxTest, DoubleClickRightPressCodeAndAHandlerThatReselects) {
  int clicks = 0;
  Control->OnClick = [&](QObject*) { ++clicks; };
  EventCounter doubleClicks(Control, QEvent::MouseButtonDblClick);
  H.DoubleClick(Qt::LeftButton, {5, 5});
  EXPECT_EQ(doubleClicks.Count, 1);
  EXPECT_EQ(clicks, 2);
  EXPECT_FALSE(Control->GetChecked());
  EXPECT_EQ(ShownFrame(), 0);
  H.Press(Qt::RightButton, {5, 5});
  H.Release(Qt::RightButton, {5, 5});
  EXPECT_FALSE(Control->GetChecked());
  EventCounter paints(Control, QEvent::Paint);
  Control->SetChecked(true);
  EXPECT_EQ(ShownFrame(), 1);
  Control->SetChecked(true);
  EXPECT_EQ(paints.Count, 2);
  Control->setProperty("Checked", false);
  EXPECT_EQ(ShownFrame(), 0);
  EXPECT_EQ(clicks, 2);

  Control->SetChecked(true);
  Control->OnClick = [&](QObject* sender) {
    ++clicks;
    static_cast<TSkinCheckBox*>(sender)->SetChecked(true);
  };
  H.Press(Qt::LeftButton, {5, 5});
  H.Release(Qt::LeftButton, {5, 5});
  EXPECT_EQ(clicks, 3);
  EXPECT_TRUE(Control->GetChecked());
  EXPECT_EQ(ShownFrame(), 1);
}

}  // namespace
