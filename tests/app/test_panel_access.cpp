// The real main window from the wheel, the keyboard and assistive tools, offscreen over the
// recording MIDI backend: the bytes each gesture sends, the values shown, the names and roles
// tools read, what the keyboard does where Tab leads, and the window's place on a screen.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QWheelEvent>
#include <cmath>

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
      {"ParKnob1", 5, key(Qt::Key_Left, Qt::ShiftModifier), {0xB0, 0x10, 0x00}},
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

TEST_F(PanelAccess, EveryKnobShowsItsNameAndValueAndToolsOperateTheControls) {
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

  // Tools see and operate the skinned controls.
  Midi->ClearMessages();
  QAccessibleInterface* panel =
      QAccessible::queryAccessibleInterface(Form->findChild<QWidget*>("Panel"));
  ASSERT_NE(panel, nullptr);
  QStringList dials, boxes;
  for (int i = 0; i < panel->childCount(); ++i) {
    QAccessibleInterface* child = panel->child(i);
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

// Where Tab goes is pinned by the layout test; here, what a control reached with it does.
TEST_F(PanelAccess, KeyboardFocusShowsAKnobOnTheStatusLineAndSelectsSounds) {
  const QRect line = Form->MidiStatusLabel()->geometry();
  const QString portState = Form->MidiStatusLabel()->text();
  Knob("ParKnob13")->SetPosition(63);
  Knob("ParKnob13")->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Knob("ParKnob13"), Qt::Key_Up);
  // Beside the port's state, not instead of it.
  EXPECT_TRUE(
      Form->MidiStatusLabel()->text().startsWith("Filter Freq: 64; MIDI open on Recording Out"))
      << Form->MidiStatusLabel()->text().toStdString();
  EXPECT_EQ(Form->MidiStatusLabel()->geometry(), line);
  Knob("MixKnob")->SetPosition(35);  // moved by code: not shown
  EXPECT_TRUE(
      Form->MidiStatusLabel()->text().startsWith("Filter Freq: 64; MIDI open on Recording Out"))
      << Form->MidiStatusLabel()->text().toStdString();
  Form->findChild<QWidget*>("OpenButton")->setFocus(Qt::TabFocusReason);
  QTRY_COMPARE_WITH_TIMEOUT(Form->MidiStatusLabel()->text(), portState, 5000);

  for (const char* name : {"SDCheckBox", "M4CheckBox"}) {
    auto* box = Form->findChild<TSkinCheckBox*>(name);
    box->setFocus(Qt::TabFocusReason);
    QTest::keyClick(box, name[0] == 'S' ? Qt::Key_Space : Qt::Key_Return);
    EXPECT_EQ(Form->Memory().SelectedSound(), box->GetTag()) << name;
  }
  // The focus frame stands out from the panel by at least 3:1 (relative luminance, as WCAG
  // measures it).
  const auto luminance = [](const QColor& c) {
    const auto linear = [](double v) {
      return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
  };
  const double frame = luminance(Knob("ParKnob1")->palette().color(QPalette::Highlight));
  const double panel = luminance(Form->palette().color(QPalette::Window));
  EXPECT_GE((std::max(frame, panel) + 0.05) / (std::min(frame, panel) + 0.05), 3.0);
  // The arrows walk the two rows of sound boxes (BD..CB above CH..M4) and stop at their edges.
  const std::pair<Qt::Key, const char*> walk[] = {
      {Qt::Key_Left, "M3CheckBox"},  {Qt::Key_Up, "RSCheckBox"},    {Qt::Key_Up, "RSCheckBox"},
      {Qt::Key_Right, "CBCheckBox"}, {Qt::Key_Right, "CBCheckBox"}, {Qt::Key_Down, "M4CheckBox"},
  };
  for (const auto& [key, to] : walk) {
    QTest::keyClick(QApplication::focusWidget(), key);
    EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), to);
  }
}

TEST(PanelPlacement, TheWholeFrameLandsOnTheAvailableAreaAndWhatCannotFitScrolls) {
  const QSize panel(570, 474);
  const QMargins frame(1, 16, 1, 4);  // a title bar 16 high; scroll bars 14 wide
  const struct {
    QRect Area;
    QMargins Frame;
    QPoint Corner;
    QSize Client;
  } cases[] = {
      {{0, 0, 640, 512}, frame, {68, 18}, panel},  // moved in by its frame
      {{0, 0, 640, 512}, {}, {70, 38}, panel},     // no frame yet
      // 800 x 600 at 1.25, right of another screen: as tall as the area, wider by the bar down
      // its side.
      {{300, 0, 640, 480}, frame, {300, 0}, {584, 460}},
      {{0, 0, 560, 600}, frame, {0, 92}, {558, 488}},  // too wide alone
  };
  for (const auto& c : cases) {
    const TWindowFit fit = FitWindow({199, 137}, panel, c.Frame, 14, c.Area);
    EXPECT_EQ(std::pair(fit.Corner, fit.Client), std::pair(c.Corner, c.Client)) << c.Area.width();
  }
}

// Tab, the arrows between the sound boxes, a click or a command: each brings its control into
// view.
TEST_F(PanelAccess, AControlGivenTheFocusInAWindowSmallerThanThePanelIsScrolledIntoView) {
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  Form->setMinimumSize(0, 0);
  Form->resize(300, 150);
  const QWidget* view = Form->findChild<QScrollArea*>("PanelScroller")->viewport();
  for (QWidget* control : view->findChildren<QWidget*>()) {
    if (!(control->focusPolicy() & Qt::TabFocus) || control->window() != Form.get()) continue;
    control->setFocus(Qt::OtherFocusReason);
    EXPECT_TRUE(view->rect().contains(QRect(control->mapTo(view, QPoint()), control->size())))
        << control->objectName().toStdString();
  }
}

}  // namespace
