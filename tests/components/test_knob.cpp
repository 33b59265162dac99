// The bitmap knob: detents, drag arithmetic and keys as tables over the pure functions and the
// widget, the silent range setters, and the pointer's pixels.
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>

#include <gtest/gtest.h>

#include <climits>

#include "ComponentTestSupport.h"
#include "Knob.h"

namespace {

struct TDetents {
  int Min, Max;
  std::vector<int> Detents;
  std::vector<std::pair<int, int>> Nearest;  // value, detent
};

class KnobDetents : public testing::TestWithParam<TDetents> {};

TEST_P(KnobDetents, SevenDetentsAndTheNearestOfEachValue) {
  const TDetents& d = GetParam();
  const int step = (d.Max - d.Min) / 6;
  std::vector<int> detents;
  for (int i = 0; i <= 6; ++i)  // a value near each sixth snaps to it
    detents.push_back(KnobSnapPosition(d.Min + i * step + (i < 3 ? 1 : -1), d.Min, d.Max));
  EXPECT_EQ(detents, d.Detents);
  for (const int detent : d.Detents) EXPECT_EQ(KnobSnapPosition(detent, d.Min, d.Max), detent);
  for (const auto& [value, detent] : d.Nearest)
    EXPECT_EQ(KnobSnapPosition(value, d.Min, d.Max), detent) << value;
}

TEST(KnobDetentsAtTheEdges, TheWidestRangeSaturates) {
  EXPECT_EQ(KnobSnapPosition(INT_MAX, INT_MIN, INT_MAX), INT_MAX);
  EXPECT_EQ(KnobSnapPosition(INT_MIN, INT_MIN, INT_MAX), INT_MIN);
  EXPECT_EQ(KnobSnapPosition(5, 3, 3), 3) << "an empty range";
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, KnobDetents,
    testing::Values(TDetents{0,
                             100,
                             {0, 16, 33, 50, 66, 83, 100},
                             {{8, 0},
                              {9, 16},
                              {24, 16},
                              {25, 33},
                              {41, 33},
                              {42, 50},
                              {58, 50},
                              {59, 66},
                              {75, 83},
                              {92, 100},
                              {-8, 0},
                              {-9, 0},
                              {-26, -16},
                              {116, 116}}},
                    TDetents{0,
                             127,
                             {0, 21, 42, 63, 84, 105, 127},
                             {{10, 0}, {11, 21}, {31, 21}, {32, 42}, {116, 105}, {117, 127}}},
                    TDetents{-100,
                             100,
                             {-100, -66, -33, 0, 33, 66, 100},
                             {{-84, -100},
                              {-83, -66},
                              {-17, -33},
                              {-16, 0},
                              {16, 0},
                              {17, 33},
                              {83, 66},
                              {84, 100}}}));

TEST(KnobDrag, ValueOfADrag) {
  struct Case {
    int Start, Min, Max, Sensitivity;
    bool Stepped;
    int Dy, Value;
  };
  const Case cases[] = {{0, 0, 100, 128, false, -64, 50},
                        {0, 0, 100, 128, false, -1, 0},
                        {0, 0, 100, 128, false, -2, 1},
                        {50, 0, 100, 128, false, 20, 35},
                        {0, 0, 100, 128, false, 10, -7},
                        {0, 0, 100, 128, true, -10, 23},
                        {0, 0, 100, 128, true, -1, 2},
                        {0, -100, 100, 128, false, -64, 100},
                        {0, 0, 100, 0, false, -1, 100},
                        {0, 0, 100, -5, false, -1, 100},
                        {0, 0, 100, 2, true, -1, 100},
                        {0, INT_MIN, INT_MAX, 1, false, -2, INT_MAX},
                        {0, INT_MIN, INT_MAX, 1, false, 2, INT_MIN}};
  for (const Case& c : cases)
    EXPECT_EQ(KnobDragValue(c.Start, c.Min, c.Max, c.Sensitivity, c.Stepped, c.Dy), c.Value)
        << c.Start << " " << c.Sensitivity << (c.Stepped ? " stepped " : " plain ") << c.Dy;
}

TEST(KnobPointer, EndsOfTheLine) {
  const std::pair<int, QPoint> ends[] = {{0, {-199, 225}}, {50, {13, -287}}, {100, {225, 225}}};
  for (const auto& [position, end] : ends)
    EXPECT_EQ(KnobPointerEnd(position, 0, 100), end) << position;
  EXPECT_EQ(KnobPointerEnd(0, -100, 100), QPoint(13, -287));
}

TEST(KnobPointer, PixelsAtZeroHalfAndFull) {
  const QImage picture(kKnobNormalPath), mask(kKnobMaskPath);
  ASSERT_FALSE(picture.isNull());
  const QImage plain = picture.convertToFormat(QImage::Format_RGB32);
  // The line shows from the centre to the edge of the mask's disc, and nowhere else.
  const std::pair<int, std::vector<QPoint>> lines[] = {
      {0, {{13, 13}, {12, 14}, {11, 15}, {10, 16}, {9, 17}, {8, 18}, {7, 19}}},
      {50,
       {{13, 4},
        {13, 5},
        {13, 6},
        {13, 7},
        {13, 8},
        {13, 9},
        {13, 10},
        {13, 11},
        {13, 12},
        {13, 13}}},
      {100, {{13, 13}, {14, 14}, {15, 15}, {16, 16}, {17, 17}, {18, 18}, {19, 19}}}};
  for (const auto& [position, line] : lines) {
    const QImage shown = ComposeKnob(picture, mask, QColor(0xC0, 0xC0, 0xC0), position, 0, 100);
    ASSERT_EQ(shown.size(), QSize(27, 27));
    std::vector<QPoint> blackened;
    for (int y = 0; y < 27; ++y)
      for (int x = 0; x < 27; ++x)
        if (plain.pixel(x, y) != 0xFFFF0000u && shown.pixel(x, y) != plain.pixel(x, y)) {
          EXPECT_EQ(shown.pixel(x, y), 0xFF000000u);
          blackened.emplace_back(x, y);
        }
    std::sort(blackened.begin(), blackened.end(),
              [](QPoint a, QPoint b) { return std::pair(a.y(), a.x()) < std::pair(b.y(), b.x()); });
    std::vector<QPoint> expected = line;
    std::sort(expected.begin(), expected.end(),
              [](QPoint a, QPoint b) { return std::pair(a.y(), a.x()) < std::pair(b.y(), b.x()); });
    EXPECT_EQ(blackened, expected) << "position " << position;
  }
}

TEST(KnobPointer, TransparentRedBecomesTheNearestPaletteColourOfTheBackground) {
  const QImage picture(kKnobNormalPath), mask(kKnobMaskPath);
  const std::pair<QColor, QRgb> backgrounds[] = {{QColor(0xC0, 0xC0, 0xC0), 0xFFC0C0C0},
                                                 {QColor(0xEF, 0xEF, 0xEF), 0xFFFFFFFF},
                                                 {QColor(0xD4, 0xD0, 0xC8), 0xFFC0C0C0},
                                                 {QColor(0x10, 0x20, 0x90), 0xFF000080}};
  for (const auto& [background, shown] : backgrounds) {
    const QImage knob = ComposeKnob(picture, mask, background, 50, 0, 100);
    EXPECT_EQ(knob.pixel(0, 0), shown) << background.name().toStdString();
    EXPECT_EQ(knob.pixel(26, 26), shown);
    EXPECT_EQ(knob.pixel(13, 22), picture.pixel(13, 22)) << "the face keeps its colours";
  }
}

// Sends a mouse event to the knob at (13, y).
void Mouse(TKnob& knob, QEvent::Type type, int y, Qt::MouseButton button, Qt::MouseButtons buttons,
           bool ctrl) {
  QMouseEvent event(type, QPointF(13, y), QPointF(13, y), button, buttons,
                    ctrl ? Qt::ControlModifier : Qt::NoModifier);
  QCoreApplication::sendEvent(&knob, &event);
}

struct TDrag {
  const char* Name;
  int Start;
  struct TStep {
    char Kind;  // 'p' left press, 'P' right press, 'm' move, 'r' left release
    int Y;
    bool Ctrl = false;
    bool Right = false;  // right button held
    int Position = 0;    // after the step
  };
  std::vector<TStep> Steps;
  int Changes;
};

class KnobDrags : public testing::TestWithParam<TDrag> {};

TEST_P(KnobDrags, FollowsTheMouse) {
  TKnob knob;
  knob.SetPosition(GetParam().Start);
  int changes = 0;
  knob.OnChange = [&](QObject* sender) {
    EXPECT_EQ(sender, &knob);
    ++changes;
  };
  for (const TDrag::TStep& s : GetParam().Steps) {
    const Qt::MouseButtons held = (s.Kind == 'r' ? Qt::NoButton : Qt::LeftButton) |
                                  (s.Right ? Qt::RightButton : Qt::NoButton);
    switch (s.Kind) {
      case 'p':
        Mouse(knob, QEvent::MouseButtonPress, s.Y, Qt::LeftButton, held, s.Ctrl);
        break;
      case 'P':
        Mouse(knob, QEvent::MouseButtonPress, s.Y, Qt::RightButton, Qt::RightButton, s.Ctrl);
        break;
      case 'm':
        Mouse(knob, QEvent::MouseMove, s.Y, Qt::NoButton, held, s.Ctrl);
        break;
      case 'r':
        Mouse(knob, QEvent::MouseButtonRelease, s.Y, Qt::LeftButton, held, s.Ctrl);
        break;
    }
    EXPECT_EQ(knob.GetPosition(), s.Position) << s.Kind << " at " << s.Y;
  }
  EXPECT_EQ(changes, GetParam().Changes);
}

INSTANTIATE_TEST_SUITE_P(
    Drags, KnobDrags,
    testing::Values(
        TDrag{
            "SixtyFourUp",
            0,
            {{'p', 100, false, false, 0}, {'m', 36, false, false, 50}, {'r', 36, false, false, 50}},
            1},
        TDrag{"OneAndTwoUp",
              0,
              {{'p', 100, false, false, 0}, {'m', 99, false, false, 0}, {'m', 98, false, false, 1}},
              2},
        TDrag{"TwentyDown", 50, {{'p', 100, false, false, 50}, {'m', 120, false, false, 35}}, 1},
        TDrag{"DownFromZeroStillRaisesOnChange",
              0,
              {{'p', 5, false, false, 0},
               {'m', 15, false, false, 0},
               {'m', 25, false, false, 0},
               {'m', 35, false, false, 0}},
              3},
        TDrag{"CtrlTenUp", 0, {{'p', 100, true, false, 0}, {'m', 90, true, false, 16}}, 2},
        TDrag{"CtrlPressSnapsAtOnce", 40, {{'p', 100, true, false, 33}}, 1},
        TDrag{
            "RightButtonHeldSteps", 0, {{'p', 100, false, true, 0}, {'m', 90, false, true, 16}}, 2},
        TDrag{"ModeChangesReanchor",
              0,
              {{'p', 100, false, false, 0},
               {'m', 36, false, false, 50},
               {'m', 36, true, false, 50},
               {'m', 26, true, false, 66},
               {'m', 26, false, false, 66},
               {'m', 20, false, false, 70}},
              5},
        TDrag{
            "NothingAfterTheRelease",
            0,
            {{'p', 100, false, false, 0}, {'r', 100, false, false, 0}, {'m', 36, false, false, 0}},
            0},
        TDrag{"RightPressAloneDoesNotDrag",
              0,
              {{'P', 100, false, true, 0}, {'m', 36, false, true, 0}},
              0}),
    [](const testing::TestParamInfo<TDrag>& info) { return std::string(info.param.Name); });

struct TKeys {
  const char* Name;
  int Min, Max, Start, SmallChange;
  Qt::Key Key;
  bool Ctrl;
  std::vector<int> Positions;  // after each press; empty: the key does nothing
};

class KnobKeys : public testing::TestWithParam<TKeys> {};

TEST_P(KnobKeys, ArrowsStepAndCtrlGoesToTheNextDetent) {
  const TKeys& k = GetParam();
  TKnob knob;
  knob.SetMin(k.Min);
  knob.SetMax(k.Max);
  knob.SetPosition(k.Start);
  knob.SmallChange = k.SmallChange;
  int changes = 0;
  knob.OnChange = [&](QObject*) { ++changes; };
  const std::size_t presses = k.Positions.empty() ? 2 : k.Positions.size();
  for (std::size_t i = 0; i < presses; ++i) {
    QKeyEvent press(QEvent::KeyPress, k.Key, k.Ctrl ? Qt::ControlModifier : Qt::NoModifier);
    QCoreApplication::sendEvent(&knob, &press);
    EXPECT_TRUE(press.isAccepted()) << "every key is consumed";
    EXPECT_EQ(knob.GetPosition(), k.Positions.empty() ? k.Start : k.Positions[i]) << "press " << i;
  }
  EXPECT_EQ(changes, static_cast<int>(k.Positions.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KnobKeys,
    testing::Values(
        TKeys{"CtrlUpFromZero", 0, 100, 0, 1, Qt::Key_Up, true, {16, 33, 50, 66, 83, 100, 100}},
        TKeys{"CtrlDownFromFull", 0, 100, 100, 1, Qt::Key_Down, true, {83, 66, 50, 33, 16, 0, 0}},
        TKeys{"CtrlRightFromForty", 0, 100, 40, 1, Qt::Key_Right, true, {50}},
        TKeys{"CtrlLeftFromForty", 0, 100, 40, 1, Qt::Key_Left, true, {33}},
        TKeys{"CtrlUpOnMinusHundredToHundred",
              -100,
              100,
              -100,
              1,
              Qt::Key_Up,
              true,
              {-66, -33, 0, 33, 66, 100}},
        TKeys{"CtrlDownOnZeroTo127", 0, 127, 127, 1, Qt::Key_Down, true, {105, 84, 63, 42, 21, 0}},
        TKeys{"UpAtMax", 0, 100, 100, 1, Qt::Key_Up, false, {100}},
        TKeys{"Right", 0, 100, 10, 1, Qt::Key_Right, false, {11, 12}},
        TKeys{"Left", 0, 100, 10, 1, Qt::Key_Left, false, {9}},
        TKeys{"DownToMin", 0, 100, 1, 1, Qt::Key_Down, false, {0, 0}},
        TKeys{"SmallChangeFive", 0, 100, 10, 5, Qt::Key_Up, false, {15, 20}},
        TKeys{"HugeSmallChange", 0, 100, 10, INT_MAX, Qt::Key_Up, false, {100}},
        TKeys{"PageUpDoesNothing", 0, 100, 10, 1, Qt::Key_PageUp, false, {}},
        TKeys{"HomeDoesNothing", 0, 100, 10, 1, Qt::Key_Home, true, {}},
        TKeys{"LetterDoesNothing", 0, 100, 10, 1, Qt::Key_A, false, {}}),
    [](const testing::TestParamInfo<TKeys>& info) { return std::string(info.param.Name); });

TEST(KnobRange, MinAndMaxMoveThePositionSilentlyAndRefuseAnEmptyRange) {
  TKnob knob;
  int changes = 0;
  knob.OnChange = [&](QObject*) { ++changes; };
  EXPECT_EQ(knob.size(), QSize(27, 27));
  knob.SetPosition(500);
  EXPECT_EQ(knob.GetPosition(), 100);
  EXPECT_EQ(changes, 1);
  knob.SetPosition(10);
  knob.SetMin(20);
  EXPECT_EQ(knob.GetPosition(), 20);
  knob.SetMax(30);
  knob.SetPosition(30);
  knob.SetMax(25);
  EXPECT_EQ(knob.GetPosition(), 25);
  EXPECT_EQ(changes, 3) << "only the three SetPosition calls";
  knob.SetMin(25);  // refused: at Max
  knob.SetMax(20);  // refused: below Min
  EXPECT_EQ(std::pair(knob.GetMin(), knob.GetMax()), std::pair(20, 25));

  TKnob fresh;
  fresh.SetMin(150);
  EXPECT_EQ(fresh.GetMin(), 0) << "150..200 needs Max first";
  fresh.SetMax(200);
  fresh.SetMin(150);
  EXPECT_EQ(std::pair(fresh.GetMin(), fresh.GetPosition()), std::pair(150, 150));
}

TEST(KnobFocus, TheFocusedKnobShowsItsRingAndAPressFocusesIt) {
  QWidget window;
  QPalette silver = window.palette();
  silver.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
  window.setPalette(silver);
  window.resize(100, 60);
  auto* first = new TKnob(&window);
  auto* second = new TKnob(&window);
  second->move(40, 0);
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  const auto onScreen = [&](TKnob* knob) {
    return window.screen()
        ->grabWindow(window.winId(), knob->x(), knob->y(), 27, 27)
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  };
  first->setFocus();
  EXPECT_EQ(onScreen(first).pixel(13, 2), 0xFF808080u) << "the focus ring, painted at once";
  EXPECT_EQ(onScreen(first).pixel(13, 24), 0xFFFFFFFFu);
  QTest::mousePress(window.windowHandle(), Qt::RightButton, {}, second->geometry().center());
  QTest::mouseRelease(window.windowHandle(), Qt::RightButton, {}, second->geometry().center());
  EXPECT_TRUE(second->hasFocus());
  EXPECT_EQ(onScreen(first).pixel(13, 2), 0xFFC0C0C0u);
  EXPECT_EQ(onScreen(second).pixel(13, 2), 0xFF808080u);
  QTest::keyClick(&window, Qt::Key_Tab);
  EXPECT_TRUE(first->hasFocus()) << "reached by Tab";
  second->SetTabStop(false);
  QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, second->geometry().center());
  EXPECT_TRUE(first->hasFocus());
}

}  // namespace
