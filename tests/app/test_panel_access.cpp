// The real main window from the wheel, the keyboard and assistive tools, offscreen over the
// recording MIDI backend: the bytes each gesture sends, the values shown, the names and roles
// tools read, the Tab chain that reaches every control, and the window's place on a screen.
#include <gtest/gtest.h>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QWheelEvent>

#include "MainForm.h"
#include "MidiBackend.h"
#include "RecordingMidiBackend.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class PanelAccess : public testing::Test {
protected:
  void SetUp() override {
    Form = std::make_unique<TMainForm>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    Click(Form->findChild<QPushButton*>("OpenButton"));
    ASSERT_TRUE(Form->MidiOut().IsOpen());
    Midi->ClearMessages();
  }

  TSkinKnob* Knob(const QString& name) const { return Form->findChild<TSkinKnob*>(name); }

  void Click(QWidget* control) {
    QTest::mouseClick(Form->windowHandle(), Qt::LeftButton, {}, control->geometry().center());
  }

  static void Wheel(QWidget* control, int angle, Qt::KeyboardModifiers modifiers = {}) {
    const QPointF at(5, 5);
    QWheelEvent event(at, control->mapToGlobal(at), {}, QPoint(0, angle), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(control, &event);
  }

  // The names of the widgets Tab visits from `start` until it comes back.
  QStringList TabCycle(QWidget* start) {
    start->setFocus(Qt::TabFocusReason);
    QStringList names;
    for (int i = 0; i < 100; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QWidget* now = QApplication::focusWidget();
      if (now == start) break;
      names << now->objectName();
    }
    return names;
  }

  TRecordingMidiService Midi{{"Recording Out"}};
  std::unique_ptr<TMainForm> Form;
};

TEST_F(PanelAccess, WheelAndKeysSendWhatOneDragMoveSends) {
  struct Case {
    const char* Knob;
    int Start;
    std::function<void(TSkinKnob*)> Gesture;
    Bytes Want;
  };
  const auto wheel = [](int angle, Qt::KeyboardModifiers modifiers = {}) {
    return [angle, modifiers](TSkinKnob* k) { Wheel(k, angle, modifiers); };
  };
  const auto key = [](Qt::Key k, Qt::KeyboardModifiers modifiers = {}) {
    return [k, modifiers](TSkinKnob* knob) { QTest::keyClick(knob, k, modifiers); };
  };
  const Case cases[] = {
      // BD's Filter Freq is controller 16 + 12 on channel 1.
      {"ParKnob13", 63, wheel(120), {0xB0, 0x1C, 0x40}},
      {"ParKnob13", 63, wheel(-240), {0xB0, 0x1C, 0x3E, 0xB0, 0x1C, 0x3D}},
      {"ParKnob13", 0, wheel(-120), {0xB0, 0x1C, 0x00}},  // at the end, as a drag move there
      {"ParKnob1", 5, key(Qt::Key_PageUp), {0xB0, 0x10, 0x0F}},
      {"ParKnob1", 5, key(Qt::Key_End), {0xB0, 0x10, 0x7F}},
      {"ParKnob1", 5, key(Qt::Key_Left), {0xB0, 0x10, 0x04}},
      {"ParKnob1", 5, key(Qt::Key_Tab), {}},
      // Shift makes a notch or an arrow ten steps, still one message each.
      {"ParKnob13", 63, wheel(240, Qt::ShiftModifier), {0xB0, 0x1C, 0x49, 0xB0, 0x1C, 0x53}},
      {"ParKnob13", 63, wheel(-120, Qt::ShiftModifier), {0xB0, 0x1C, 0x35}},
      {"ParKnob1", 5, key(Qt::Key_Up, Qt::ShiftModifier), {0xB0, 0x10, 0x0F}},
      {"ParKnob1", 5, key(Qt::Key_Left, Qt::ShiftModifier), {0xB0, 0x10, 0x00}},
      {"ParKnob1", 125, key(Qt::Key_Right, Qt::ShiftModifier), {0xB0, 0x10, 0x7F}},
  };
  for (const Case& c : cases) {
    TSkinKnob* knob = Knob(c.Knob);
    Click(knob);  // takes focus; a press without a move sends nothing
    knob->SetPosition(c.Start);
    Midi->ClearMessages();
    c.Gesture(knob);
    EXPECT_EQ(Midi->Bytes(), c.Want) << c.Knob << " from " << c.Start;
  }
}

TEST_F(PanelAccess, EveryKnobShowsItsNameAndValue) {
  Knob("PresetA1Knob")->SetPosition(12);
  Knob("PresetA2Knob")->SetPosition(99);
  Knob("MixKnob")->SetPosition(35);
  Knob("MixBKnob")->SetPosition(-20);
  Knob("ParKnob13")->SetPosition(64);
  const std::pair<const char*, const char*> hints[] = {
      {"ParKnob13", "Filter Freq: 64"},     {"ParKnob1", "Par1: 0"},
      {"ParKnob24", "LFO Shape: 0"},        {"MixKnob", "Mix: 35 %"},
      {"MixBKnob", "Mix B: -20 %"},         {"PresetA1Knob", "Preset A: 12, 99"},
      {"PresetA2Knob", "Preset A: 12, 99"}, {"PresetB2Knob", "Preset B: 127, 127"}};
  for (const auto& [name, want] : hints) EXPECT_EQ(Knob(name)->ValueHint(), want) << name;
  for (TSkinKnob* knob : Form->findChildren<TSkinKnob*>())
    EXPECT_FALSE(knob->GetCaption().isEmpty()) << knob->objectName().toStdString();
}

TEST_F(PanelAccess, ToolsSeeAndOperateTheSkinnedControls) {
  QAccessibleInterface* window = QAccessible::queryAccessibleInterface(Form.get());
  ASSERT_NE(window, nullptr);
  QStringList dials, boxes;
  for (int i = 0; i < window->childCount(); ++i) {
    QAccessibleInterface* child = window->child(i);
    if (child->role() == QAccessible::Dial) dials << child->text(QAccessible::Name);
    if (child->role() == QAccessible::CheckBox && child->object()->inherits("TSkinCheckBox"))
      boxes << child->text(QAccessible::Name) + (child->state().checked ? "*" : "");
  }
  EXPECT_EQ(dials.size(), 31);
  EXPECT_TRUE(dials.contains("Filter Freq"));
  EXPECT_TRUE(dials.contains("Preset A first") && dials.contains("Preset A second"));
  EXPECT_EQ(boxes.join(' '), "BD* SD HT MT LT CP RS CB CH OH RC CC M1 M2 M3 M4");

  // A tool selects SD (sound 1) and sets its Filter Freq: one control change on SD's controller.
  auto* sd = Form->findChild<TSkinCheckBox*>("SDCheckBox");
  QAccessible::queryAccessibleInterface(sd)->actionInterface()->doAction(
      QAccessibleActionInterface::toggleAction());
  EXPECT_TRUE(sd->GetChecked());
  EXPECT_EQ(Form->Memory().SelectedSound(), 1);
  EXPECT_TRUE(Midi->Bytes().empty());
  QAccessible::queryAccessibleInterface(Knob("ParKnob13"))->valueInterface()->setCurrentValue(64);
  EXPECT_EQ(Midi->Bytes(), (Bytes{0xB0, 0x34, 0x40}));
}

TEST_F(PanelAccess, TabReachesEveryControlAndTheKeysWorkThere) {
  auto* open = Form->findChild<QPushButton*>("OpenButton");
  const QStringList cycle = TabCycle(open);
  // The layout's 41 other stops, then the 16 sound boxes and the 31 knobs.
  ASSERT_EQ(cycle.size(), 41 + 16 + 31);
  QStringList skinned;
  for (const QString& name : cycle.mid(41)) {
    if (Form->findChild<TSkinControl*>(name)) skinned << name;
  }
  EXPECT_EQ(skinned.size(), 47);
  EXPECT_EQ(skinned.first(), "BDCheckBox");
  EXPECT_EQ(skinned.last(), "PresetB2Knob");

  // Tab shows the mark and the knob's value on the status line, Up turns it; the line keeps its
  // place and size.
  const QRect line = Form->MidiStatusLabel()->geometry();
  const QString portState = Form->MidiStatusLabel()->text();
  TSkinKnob* knob = Knob("ParKnob13");
  knob->SetPosition(63);
  Midi->ClearMessages();
  Form->findChild<QWidget*>("ParKnob12")->setFocus(Qt::TabFocusReason);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), knob);
  EXPECT_TRUE(knob->GetFocusShown());
  QTest::keyClick(knob, Qt::Key_Up);
  EXPECT_EQ(Midi->Bytes(), (Bytes{0xB0, 0x1C, 0x40}));
  EXPECT_EQ(Form->MidiStatusLabel()->text(), "Filter Freq: 64");
  EXPECT_EQ(Form->MidiStatusLabel()->geometry(), line);
  // Focus gone and the turn's time over, the port's state is back.
  open->setFocus(Qt::TabFocusReason);
  QTRY_COMPARE_WITH_TIMEOUT(Form->MidiStatusLabel()->text(), portState, 5000);

  // Space and Return on a focused sound box select its sound, sending nothing.
  Midi->ClearMessages();
  const std::pair<const char*, Qt::Key> selections[] = {{"SDCheckBox", Qt::Key_Space},
                                                        {"M4CheckBox", Qt::Key_Return}};
  for (const auto& [name, key] : selections) {
    auto* box = Form->findChild<TSkinCheckBox*>(name);
    box->setFocus(Qt::TabFocusReason);
    EXPECT_TRUE(box->GetFocusShown()) << name;
    QTest::keyClick(box, key);
    EXPECT_EQ(Form->Memory().SelectedSound(), box->GetTag()) << name;
    EXPECT_TRUE(box->GetChecked()) << name;
  }
  EXPECT_TRUE(Midi->Bytes().empty());
}

TEST_F(PanelAccess, EveryControlHasANameOfItsOwn) {
  const std::pair<const char*, const char*> names[] = {{"StoreAButton", "Bank A store"},
                                                       {"RecallBButton", "Bank B recall"},
                                                       {"ADownButton", "Bank A previous preset"},
                                                       {"BUpButton", "Bank B next preset"},
                                                       {"GroupFilterButton1", "Tick column 1"},
                                                       {"GroupFilterButton3", "Tick column 3"},
                                                       {"BaseChannelComboBox", "Base channel"},
                                                       {"MidiOutComboBox", "MIDI output device"},
                                                       {"CheckBox13", "Tick Filter Freq"},
                                                       {"CheckBox14", "Tick Filter Width"},
                                                       {"ParKnob14", "Filter Width"},
                                                       {"PresetB2Knob", "Preset B second"},
                                                       {"OHCheckBox", "OH"},
                                                       {"Button3", "Continue"}};
  const auto nameOf = [](QWidget* w) {
    return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
  };
  for (const auto& [control, want] : names)
    EXPECT_EQ(nameOf(Form->findChild<QWidget*>(control)), want) << control;
  // Every stop of the Tab chain has a name, and no two share one.
  QSet<QString> seen;
  const QStringList stops = TabCycle(Form->findChild<QWidget*>("OpenButton")) << "OpenButton";
  for (const QString& stop : stops) {
    const QString name = nameOf(Form->findChild<QWidget*>(stop));
    EXPECT_FALSE(name.isEmpty()) << stop.toStdString();
    EXPECT_FALSE(seen.contains(name)) << name.toStdString();
    seen << name;
  }
  // The visible captions stay as the layout has them.
  EXPECT_EQ(Form->findChild<QCheckBox*>("CheckBox13")->text(), "Filter F");
  EXPECT_EQ(Form->findChild<QPushButton*>("StoreBButton")->text(), "S");
}

TEST(PanelPlacement, TheWholeWindowLandsOnTheAvailableArea) {
  const QRect screen(0, 0, 640, 512);  // 1280 x 1024 at a scale factor of 2
  const struct {
    QRect Frame;
    QPoint Want;
  } cases[] = {
      {{199, 137, 570, 474}, {70, 38}},    // too far right and down: moved in
      {{199, 137, 300, 200}, {199, 137}},  // fits: stays
      {{-50, -20, 300, 200}, {0, 0}},      // off the top-left
      {{199, 137, 700, 600}, {0, 0}},      // larger than the area: its top-left shows
      {{1100, 30, 570, 474}, {1070, 30}},  // a second screen to the right
  };
  for (const auto& c : cases) {
    const QRect area = c.Frame.x() >= 640 ? screen.translated(1000, 0) : screen;
    EXPECT_EQ(PlaceOnScreen(c.Frame, area), c.Want) << c.Frame.x() << "," << c.Frame.y();
  }
}

}  // namespace
