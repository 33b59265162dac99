// The bitmap knob: detents, drag arithmetic and keys as tables over the pure functions and the
// widget, the silent range setters, and the pointer's pixels.
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QSet>

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

#include "ComponentTestSupport.h"
#include "Knob.h"

namespace {

TEST(KnobDetents, SevenDetentsAndTheNearestOfEachValue) {
  struct Case {
    int Min, Max;
    std::vector<int> Detents;
    std::vector<int> Nearest;  // value, detent, value, detent...
  };
  const Case cases[] = {
      {0, 100, {0, 16, 33, 50, 66, 83, 100}, {8,  0,  9,  16, 24,  16,  25,  33, 41, 33,
                                              42, 50, 58, 50, 59,  66,  75,  83, 92, 100,
                                              -8, 0,  -9, 0,  -26, -16, 116, 116}},
      {0, 127, {0, 21, 42, 63, 84, 105, 127}, {10, 0, 11, 21, 31, 21, 32, 42, 116, 105, 117, 127}},
      {-100,
       100,
       {-100, -66, -33, 0, 33, 66, 100},
       {-84, -100, -83, -66, -17, -33, -16, 0, 16, 0, 17, 33, 83, 66, 84, 100}}};
  for (const Case& d : cases) {
    const int step = (d.Max - d.Min) / 6;
    std::vector<int> detents;
    for (int i = 0; i <= 6; ++i)  // a value near each sixth snaps to it
      detents.push_back(KnobSnapPosition(d.Min + i * step + (i < 3 ? 1 : -1), d.Min, d.Max));
    EXPECT_EQ(detents, d.Detents);
    for (const int detent : d.Detents) EXPECT_EQ(KnobSnapPosition(detent, d.Min, d.Max), detent);
    for (std::size_t i = 0; i < d.Nearest.size(); i += 2)
      EXPECT_EQ(KnobSnapPosition(d.Nearest[i], d.Min, d.Max), d.Nearest[i + 1])
          << d.Nearest[i] << " on " << d.Min << ".." << d.Max;
  }
  // The widest range saturates.
  EXPECT_EQ(KnobSnapPosition(INT_MAX, INT_MIN, INT_MAX), INT_MAX);
  EXPECT_EQ(KnobSnapPosition(INT_MIN, INT_MIN, INT_MAX), INT_MIN);
  EXPECT_EQ(KnobSnapPosition(5, 3, 3), 3) << "an empty range";
}

TEST(KnobDrag, ValueOfADrag) {
  struct Case {
    int Start, Min, Max, Sensitivity;
    bool Stepped;
    int Dy, Value;
  };
  const Case cases[] = {{0, 0, 100, 128, false, -64, 50}, {0, 0, 100, 128, false, -1, 0},
                        {0, 0, 100, 128, false, -2, 1},   {50, 0, 100, 128, false, 20, 35},
                        {0, 0, 100, 128, false, 10, -7},  {0, 0, 100, 128, true, -10, 23},
                        {0, 0, 100, 128, true, -1, 2},    {0, -100, 100, 128, false, -64, 100},
                        {0, 0, 100, 0, false, -1, 100},   {0, 0, 100, -5, false, -1, 100},
                        {0, 0, 100, 2, true, -1, 100}};
  for (const Case& c : cases)
    EXPECT_EQ(KnobDragValue(c.Start, c.Min, c.Max, c.Sensitivity, c.Stepped, c.Dy), c.Value)
        << c.Start << " " << c.Sensitivity << (c.Stepped ? " stepped " : " plain ") << c.Dy;
  EXPECT_EQ(KnobDragValue(0, INT_MIN, INT_MAX, 1, false, -2), INT_MAX);
  EXPECT_EQ(KnobDragValue(0, INT_MIN, INT_MAX, 1, false, 2), INT_MIN);
}

TEST(KnobPointer, EndsAndPixelsAtZeroHalfAndFull) {
  const std::pair<int, QPoint> ends[] = {{0, {-199, 225}}, {50, {13, -287}}, {100, {225, 225}}};
  for (const auto& [position, end] : ends)
    EXPECT_EQ(KnobPointerEnd(position, 0, 100), end) << position;
  EXPECT_EQ(KnobPointerEnd(0, -100, 100), QPoint(13, -287));
  const QImage picture(kKnobNormalPath), mask(kKnobMaskPath);
  ASSERT_FALSE(picture.isNull());
  const QImage plain = picture.convertToFormat(QImage::Format_RGB32);
  // The line shows from the centre to the edge of the mask's disc, and nowhere else (the red
  // around the knob becomes the background): seven pixels down-left at 0, ten straight up at 50,
  // seven down-right at 100.
  const std::tuple<int, QPoint, int> lines[] = {
      {0, {-1, 1}, 7}, {50, {0, -1}, 10}, {100, {1, 1}, 7}};
  for (const auto& [position, direction, length] : lines) {
    QSet<QPoint> line;
    for (int i = 0; i < length; ++i) line.insert(QPoint(13, 13) + i * direction);
    const QImage shown = ComposeKnob(picture, mask, QColor(0xC0, 0xC0, 0xC0), position, 0, 100);
    ASSERT_EQ(shown.size(), QSize(27, 27));
    for (int y = 0; y < 27; ++y)
      for (int x = 0; x < 27; ++x) {
        const QRgb unchanged = plain.pixel(x, y) == 0xFFFF0000u ? 0xFFC0C0C0u : plain.pixel(x, y);
        EXPECT_EQ(shown.pixel(x, y), line.contains({x, y}) ? 0xFF000000u : unchanged)
            << "position " << position << " at " << x << ", " << y;
      }
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

// One mouse step: 'p' left press, 'P' right press, 'm' move, 'r' left release, at (13, Y); the
// position after it.
struct TStep {
  char Kind;
  int Y, Position;
  bool Ctrl = false;
  bool Right = false;  // right button held
};

void Play(TKnob& knob, const TStep& s) {
  const Qt::MouseButtons held =
      (s.Kind == 'r' ? Qt::NoButton : Qt::LeftButton) | (s.Right ? Qt::RightButton : Qt::NoButton);
  const QEvent::Type type = s.Kind == 'm'   ? QEvent::MouseMove
                            : s.Kind == 'r' ? QEvent::MouseButtonRelease
                                            : QEvent::MouseButtonPress;
  const Qt::MouseButton button = s.Kind == 'm'   ? Qt::NoButton
                                 : s.Kind == 'P' ? Qt::RightButton
                                                 : Qt::LeftButton;
  QMouseEvent event(type, QPointF(13, s.Y), QPointF(13, s.Y), button,
                    s.Kind == 'P' ? Qt::MouseButtons(Qt::RightButton) : held,
                    s.Ctrl ? Qt::ControlModifier : Qt::NoModifier);
  QCoreApplication::sendEvent(&knob, &event);
}

TEST(KnobDrags, FollowTheMouse) {
  struct Case {
    const char* Name;
    int Start;
    std::vector<TStep> Steps;
    int Changes;
  };
  const Case cases[] = {
      {"sixty-four up", 0, {{'p', 100, 0}, {'m', 36, 50}, {'r', 36, 50}}, 1},
      {"one and two up", 0, {{'p', 100, 0}, {'m', 99, 0}, {'m', 98, 1}}, 2},
      {"twenty down", 50, {{'p', 100, 50}, {'m', 120, 35}}, 1},
      {"down from zero still raises OnChange",
       0,
       {{'p', 5, 0}, {'m', 15, 0}, {'m', 25, 0}, {'m', 35, 0}},
       3},
      {"Ctrl, ten up", 0, {{'p', 100, 0, true}, {'m', 90, 16, true}}, 2},
      {"a Ctrl press snaps at once", 40, {{'p', 100, 33, true}}, 1},
      {"right button held steps", 0, {{'p', 100, 0, false, true}, {'m', 90, 16, false, true}}, 2},
      {"mode changes re-anchor",
       0,
       {{'p', 100, 0},
        {'m', 36, 50},
        {'m', 36, 50, true},
        {'m', 26, 66, true},
        {'m', 26, 66},
        {'m', 20, 70}},
       5},
      {"nothing after the release", 0, {{'p', 100, 0}, {'r', 100, 0}, {'m', 36, 0}}, 0},
      {"a right press alone does not drag",
       0,
       {{'P', 100, 0, false, true}, {'m', 36, 0, false, true}},
       0}};
  for (const Case& c : cases) {
    TKnob knob;
    knob.SetPosition(c.Start);
    int changes = 0;
    knob.OnChange = [&](QObject* sender) {
      EXPECT_EQ(sender, &knob);
      ++changes;
    };
    for (const TStep& s : c.Steps) {
      Play(knob, s);
      EXPECT_EQ(knob.GetPosition(), s.Position) << c.Name << ": " << s.Kind << " at " << s.Y;
    }
    EXPECT_EQ(changes, c.Changes) << c.Name;
  }
}

TEST(KnobKeys, ArrowsStepAndCtrlGoesToTheNextDetent) {
  struct Case {
    int Min, Max, Start, SmallChange;
    Qt::Key Key;
    bool Ctrl;
    std::vector<int> Positions;  // after each press; empty: the key does nothing
  };
  const Case cases[] = {{0, 100, 0, 1, Qt::Key_Up, true, {16, 33, 50, 66, 83, 100, 100}},
                        {0, 100, 100, 1, Qt::Key_Down, true, {83, 66, 50, 33, 16, 0, 0}},
                        {0, 100, 40, 1, Qt::Key_Right, true, {50}},
                        {0, 100, 40, 1, Qt::Key_Left, true, {33}},
                        {-100, 100, -100, 1, Qt::Key_Up, true, {-66, -33, 0, 33, 66, 100}},
                        {0, 127, 127, 1, Qt::Key_Down, true, {105, 84, 63, 42, 21, 0}},
                        {0, 100, 100, 1, Qt::Key_Up, false, {100}},
                        {0, 100, 10, 1, Qt::Key_Right, false, {11, 12}},
                        {0, 100, 10, 1, Qt::Key_Left, false, {9}},
                        {0, 100, 1, 1, Qt::Key_Down, false, {0, 0}},
                        {0, 100, 10, 5, Qt::Key_Up, false, {15, 20}},
                        {0, 100, 10, INT_MAX, Qt::Key_Up, false, {100}},
                        {0, 100, 10, 1, Qt::Key_PageUp, false, {}},
                        {0, 100, 10, 1, Qt::Key_Home, true, {}},
                        {0, 100, 10, 1, Qt::Key_A, false, {}}};
  for (const Case& k : cases) {
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
      EXPECT_EQ(knob.GetPosition(), k.Positions.empty() ? k.Start : k.Positions[i])
          << k.Key << (k.Ctrl ? " with Ctrl" : "") << " from " << k.Start << ", press " << i;
    }
    EXPECT_EQ(changes, static_cast<int>(k.Positions.size())) << k.Key << " from " << k.Start;
  }
}

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
