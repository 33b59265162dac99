// The skinned controls from the wheel, the keyboard and assistive tools: steps and change
// events, focus and its ring, value hints and accessible interfaces. Drawing at a pixel ratio of
// 2 is compared with the window at 1 on a real X screen (PanelHighDpiEndToEnd).

#include "SkinButton.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"
#include "SkinTestSupport.h"

#include <QAccessible>
#include <QHelpEvent>
#include <QLabel>
#include <QToolTip>
#include <QWheelEvent>

#include <optional>
#include <vector>

namespace {

TEST(SkinKnobArithmetic, KeysAndWheelNotches) {
  struct KeyCase {
    int Key, Position, Min, Max;
    std::optional<int> Want;
    bool Coarse = false;
  };
  const KeyCase keys[] = {{Qt::Key_Up, 64, 0, 127, 65},
                          {Qt::Key_Right, 64, 0, 127, 65},
                          {Qt::Key_Down, 64, 0, 127, 63},
                          {Qt::Key_Left, 64, 0, 127, 63},
                          {Qt::Key_PageUp, 64, 0, 127, 74},
                          {Qt::Key_PageDown, 64, 0, 127, 54},
                          {Qt::Key_Home, 64, 0, 127, 0},
                          {Qt::Key_End, 64, 0, 127, 127},
                          {Qt::Key_PageUp, 120, 0, 127, 127},
                          {Qt::Key_PageDown, -95, -100, 100, -100},
                          {Qt::Key_Up, 127, 0, 127, 127},
                          {Qt::Key_Down, INT32_MIN, INT32_MIN, 0, INT32_MIN},
                          {Qt::Key_End, 0, -100, 100, 100},
                          {Qt::Key_Space, 64, 0, 127, std::nullopt},
                          {Qt::Key_Plus, 64, 0, 127, std::nullopt},
                          // Coarse: the arrows move ten, the other keys as they do.
                          {Qt::Key_Up, 64, 0, 127, 74, true},
                          {Qt::Key_Left, 64, 0, 127, 54, true},
                          {Qt::Key_Down, -95, -100, 100, -100, true},
                          {Qt::Key_PageUp, 64, 0, 127, 74, true}};
  for (const KeyCase& c : keys)
    EXPECT_EQ(SkinKnobKeyValue(c.Key, c.Position, c.Min, c.Max, c.Coarse), c.Want)
        << c.Key << " at " << c.Position << (c.Coarse ? " coarse" : "");

  const std::pair<std::int64_t, TWheelNotches> wheel[] = {
      {0, {0, 0}},     {119, {0, 119}},    {120, {1, 0}},          {250, {2, 10}},
      {-120, {-1, 0}}, {-239, {-1, -119}}, {INT64_MAX, {1000, 7}}, {-INT64_MAX, {-1000, -7}}};
  for (const auto& [accumulated, want] : wheel) {
    const TWheelNotches got = SkinKnobWheelNotches(accumulated);
    EXPECT_EQ(got.Notches, want.Notches) << accumulated;
    EXPECT_EQ(got.Remainder, want.Remainder) << accumulated;
  }
}

class SkinKnobAccessTest : public KnobOnStrip {
protected:
  SkinKnobAccessTest() {
    Knob->SetMax(127);
    Knob->SetPosition(64);
    Changes.clear();
    H.Show();
  }
  ~SkinKnobAccessTest() override { QToolTip::hideText(); }

  // A turn of the wheel over the knob's centre, in eighths of a degree.
  void Wheel(int angle, bool inverted = false) {
    const QPointF at(11, 11);
    QWheelEvent event(at, Knob->mapToGlobal(at), {}, QPoint(0, angle), Qt::NoButton, {},
                      Qt::NoScrollPhase, inverted);
    QCoreApplication::sendEvent(Knob, &event);
  }

  void Rest() {
    QHelpEvent event(QEvent::ToolTip, QPoint(11, 11), Knob->mapToGlobal(QPoint(11, 11)));
    QCoreApplication::sendEvent(Knob, &event);
  }

  // The text of the knob's value hint while it is shown, else empty.
  QString Hint() const {
    auto* hint = Knob->findChild<QLabel*>("ValueHint");
    return hint != nullptr && hint->isVisible() ? hint->text() : QString();
  }

  QRgb Pixel(int x, int y) { return H.OnScreen(Knob).pixel(x, y); }
};

TEST_F(SkinKnobAccessTest, EachNotchIsOneStepWithOneChangeEvent) {
  struct Case {
    std::vector<int> Angles;
    bool Inverted;
    int Start;
    std::vector<int> Want;
  };
  const Case cases[] = {
      {{120}, false, 64, {65}},         {{-120}, false, 64, {63}},
      {{360}, false, 64, {65, 66, 67}},  // three notches at once: three events
      {{60, 59, 1}, false, 64, {65}},    // a fine wheel's parts add up to one notch
      {{-60, 60}, false, 64, {}},        // parts in either direction cancel
      {{120}, true, 64, {63}},           // "natural" scrolling
      {{120}, false, 127, {127}},        // at the end the step still raises the event
  };
  // Each case leaves nothing over for the next.
  for (const Case& c : cases) {
    Knob->SetPosition(c.Start);
    Changes.clear();
    for (int angle : c.Angles) Wheel(angle, c.Inverted);
    EXPECT_EQ(Changes, c.Want) << c.Angles.front();
  }

  // During a drag the value follows the pointer alone.
  H.Press(Qt::LeftButton, {11, 11});
  Changes.clear();
  Wheel(120);
  EXPECT_TRUE(Changes.empty());
  H.Release(Qt::LeftButton, {11, 11});
}

TEST_F(SkinKnobAccessTest, AClickGivesFocusOutsideTheTabChainKeysStepAndTheUserTurns) {
  EXPECT_EQ(Knob->focusPolicy(), Qt::ClickFocus);
  H.Press(Qt::LeftButton, {11, 11});
  H.Release(Qt::LeftButton, {11, 11});
  ASSERT_TRUE(Knob->hasFocus());
  const std::pair<Qt::Key, std::vector<int>> keys[] = {
      {Qt::Key_Up, {65}},     {Qt::Key_PageDown, {55}}, {Qt::Key_End, {127}},
      {Qt::Key_Right, {127}}, {Qt::Key_Home, {0}},      {Qt::Key_A, {}}};
  for (const auto& [key, want] : keys) {
    Changes.clear();
    QTest::keyClick(Knob, key);
    EXPECT_EQ(Changes, want) << key;
  }
  // OnTurn follows the user's gestures only.
  int turns = 0;
  Knob->OnTurn = [&turns](QObject*) { ++turns; };
  Knob->SetPosition(10);  // code: no turn
  Wheel(240);             // one event of two notches: one turn
  QTest::keyClick(Knob, Qt::Key_A);
  QTest::keyClick(Knob, Qt::Key_Up);
  H.Press(Qt::LeftButton, {11, 11});
  H.Move({11, 5});
  H.Release(Qt::LeftButton, {11, 5});
  EXPECT_EQ(turns, 3);
}

TEST_F(SkinKnobAccessTest, FocusRingAppearsWithTheKeyboardOverAnUnchangedFrame) {
  const QRgb edge = Pixel(0, 0);
  const QRgb middle = Pixel(11, 11);
  H.Press(Qt::LeftButton, {11, 11});
  H.Release(Qt::LeftButton, {11, 11});
  ASSERT_TRUE(Knob->hasFocus());
  EXPECT_FALSE(Knob->GetFocusShown());  // a click alone leaves the look as it was
  EXPECT_EQ(Pixel(0, 0), edge);

  QTest::keyClick(Knob, Qt::Key_Up);
  QTest::keyClick(Knob, Qt::Key_Down);  // back to the same frame
  EXPECT_TRUE(Knob->GetFocusShown());
  EXPECT_EQ(Pixel(0, 0), Knob->palette().color(QPalette::Highlight).rgb());
  EXPECT_EQ(Pixel(11, 11), middle);
  EXPECT_EQ(SheetPlace(Pixel(1, 1)), SheetPlace(edge) + QPoint(1, 1));

  H.Press(Qt::LeftButton, {11, 11});  // the mouse again: the ring goes
  H.Release(Qt::LeftButton, {11, 11});
  EXPECT_EQ(Pixel(0, 0), edge);

  Knob->clearFocus();
  Knob->setFocus(Qt::OtherFocusReason);  // focus given by a tool or by code shows at once
  EXPECT_EQ(Pixel(0, 0), Knob->palette().color(QPalette::Highlight).rgb());
  Knob->clearFocus();
  EXPECT_EQ(Pixel(0, 0), edge);
}

TEST_F(SkinKnobAccessTest, ValueHintsWhileRestingAndTurning) {
  Knob->setToolTip("Bank B preset");
  Rest();  // without a caption the knob's own tooltip is shown
  EXPECT_EQ(QToolTip::text(), "Bank B preset");
  EXPECT_EQ(Hint(), "");
  QToolTip::hideText();

  Knob->SetCaption("Filter Freq");
  Rest();
  EXPECT_EQ(Hint(), "Filter Freq: 64");
  Wheel(120);
  EXPECT_EQ(Hint(), "Filter Freq: 65");
  Knob->OnValueText = [](const TSkinKnob* k) { return QString("%1 %").arg(k->GetPosition()); };
  QTest::keyClick(Knob, Qt::Key_PageDown);
  EXPECT_EQ(Hint(), "Filter Freq: 55 %");

  H.Press(Qt::LeftButton, {11, 11});
  H.Move({11, 1});  // ten pixels up: 127 x 10 / 128, nine values more
  EXPECT_EQ(Hint(), "Filter Freq: 64 %");
  H.Move({11, 60});  // the hint stays while the drag goes on outside the knob
  EXPECT_EQ(Hint(), "Filter Freq: 7 %");
  H.Release(Qt::LeftButton, {11, 60});
  EXPECT_EQ(Hint(), "");
  EXPECT_EQ(Knob->toolTip(), "Bank B preset");
}

TEST_F(SkinKnobAccessTest, AccessibleDial) {
  Knob->SetCaption("Filter Freq");
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(Knob);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->role(), QAccessible::Dial);
  EXPECT_EQ(a->text(QAccessible::Name), "Filter Freq");
  EXPECT_EQ(a->text(QAccessible::Value), "64");
  QAccessibleValueInterface* value = a->valueInterface();
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->minimumValue().toInt(), 0);
  EXPECT_EQ(value->maximumValue().toInt(), 127);

  value->setCurrentValue(100);
  value->setCurrentValue(500);  // clamped, as any setting is
  EXPECT_EQ(Changes, (std::vector<int>{100, 127}));
  EXPECT_EQ(value->currentValue().toInt(), 127);
  a->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
  EXPECT_EQ(Changes.back(), 126);
  EXPECT_EQ(Changes.size(), 3u);

  Knob->setAccessibleName("Preset A first");  // a name of its own wins over the caption
  EXPECT_EQ(a->text(QAccessible::Name), "Preset A first");
}

TEST(SkinAccessible, CheckBoxButtonAndPicture) {
  TSkinSource source;
  source.SetBitmap(CoordinateSheet(184, 52));
  Host h;
  auto* box = h.Add<TSkinCheckBox>();
  auto* button = h.Add<TSkinButton>();
  auto* picture = h.Add<TSkinControl>();
  for (TSkinControl* c : std::initializer_list<TSkinControl*>{box, button, picture}) {
    c->resize(23, 13);
    c->SetSkinSource(&source);
    c->SetGlyphRowCount(2);
  }
  box->SetCaption("SD");
  button->SetCaption("Step");
  h.Show();
  std::vector<QString> log;
  box->OnClick = [&](QObject*) { log.push_back(box->GetChecked() ? "box on" : "box off"); };
  button->OnClick = [&](QObject*) {
    log.push_back(QString("button %1").arg(button->GetGlyphIndex()));
  };

  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(box);
  EXPECT_EQ(a->role(), QAccessible::CheckBox);
  EXPECT_EQ(a->text(QAccessible::Name), "SD");
  EXPECT_TRUE(a->state().checkable);
  EXPECT_FALSE(a->state().checked);
  a->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(a->state().checked);
  box->SetChecked(false);  // from code: no event
  box->setFocus(Qt::OtherFocusReason);
  QTest::keyClick(box, Qt::Key_Space);

  QAccessibleInterface* b = QAccessible::queryAccessibleInterface(button);
  EXPECT_EQ(b->role(), QAccessible::PushButton);
  EXPECT_EQ(b->text(QAccessible::Name), "Step");
  b->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  button->setFocus(Qt::OtherFocusReason);
  QTest::keyClick(button, Qt::Key_Space);
  EXPECT_EQ(button->GetGlyphIndex(), 0);

  EXPECT_EQ(log, (std::vector<QString>{"box on", "box on", "button 1", "button 1"}));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(picture)->role(), QAccessible::Graphic);
  for (TSkinControl* c : std::initializer_list<TSkinControl*>{box, button, picture})
    EXPECT_EQ(c->focusPolicy(), Qt::ClickFocus);
}

}  // namespace
