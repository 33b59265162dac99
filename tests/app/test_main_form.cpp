// The real main window, driven offscreen with Qt mouse and key events on its real controls, over
// the recording MIDI backend. Each case checks the exact bytes sent, the log entries written and
// the state of the controls and the memory afterwards.
#include <gtest/gtest.h>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <functional>
#include <sstream>

#include "Application.h"
#include "DebugDevice.h"
#include "MainForm.h"
#include "MidiBackend.h"
#include "RecordingMidiBackend.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kPreset346[24] = {36, 98,  21, 67, 5,  11, 46, 37, 82,  58,  39,  34,
                                23, 120, 21, 33, 14, 57, 28, 92, 103, 127, 115, 31};
constexpr int kPreset460[24] = {56, 52, 4,   18, 4, 51, 120, 64, 60, 118, 1,   16,
                                44, 72, 121, 18, 5, 53, 94,  52, 28, 105, 101, 86};

const char* const kSounds[16] = {"BD", "SD", "HT", "MT", "LT", "CP", "RS", "CB",
                                 "CH", "OH", "RC", "CC", "M1", "M2", "M3", "M4"};

// The log stays open for the whole process (its state is class-wide), on a file in a folder of
// this process's own; each case reads only what was written after it began.
std::string LogPath() {
  static QTemporaryDir folder;
  static bool opened = [] {
    TDebugDevice::SetLogFolder(folder.path().toStdString());
    TDebugDevice log;
    log.SetMedia(TDebugDevice::dmFile);
    log.Open();
    return TDebugDevice::GetOpened();
  }();
  EXPECT_TRUE(opened);
  return TDebugDevice::LogFilePath();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A drag of dy pixels on a knob reaches the value start + dy x range / sensitivity (truncated);
// the knobs of the window sweep their range over 128 pixels.
int PixelsFor(int steps, int range) { return -((steps * 128 + range - 1) / range); }

class Panel : public testing::Test {
protected:
  void SetUp() override {
    FLogStart = ReadFile(LogPath()).size();
    Form = std::make_unique<TMainForm>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }

  void TearDown() override { Form.reset(); }

  TSkinKnob* Knob(const QString& name) const { return Find<TSkinKnob>(name); }
  TSkinKnob* ParKnob(int n) const { return Knob(QStringLiteral("ParKnob%1").arg(n)); }
  QCheckBox* ParBox(int n) const { return Find<QCheckBox>(QStringLiteral("CheckBox%1").arg(n)); }
  QPushButton* Button(const QString& name) const { return Find<QPushButton>(name); }
  TSkinCheckBox* SoundBox(int sound) const {
    return Find<TSkinCheckBox>(QString::fromLatin1(kSounds[sound]) + "CheckBox");
  }
  QComboBox* BaseChannel() const { return Find<QComboBox>("BaseChannelComboBox"); }

  template <typename T>
  T* Find(const QString& name) const {
    T* control = Form->findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name.toStdString();
    return control;
  }

  QWindow* Window() const { return Form->windowHandle(); }

  // A left click in the middle of a control of the window, through the window system layer.
  void Click(QWidget* control) {
    QTest::mouseClick(Window(), Qt::LeftButton, {}, control->geometry().center());
  }

  void Drag(QWidget* knob, int dy) {
    const QPoint at = knob->geometry().center();
    QTest::mousePress(Window(), Qt::LeftButton, {}, at);
    QTest::mouseMove(Window(), at + QPoint(0, dy));
    QTest::mouseRelease(Window(), Qt::LeftButton, {}, at + QPoint(0, dy));
  }

  // Turns parameter knob n up from where it stands by `steps` values of its 0..127 range.
  void TurnUp(int n, int steps) { Drag(ParKnob(n), PixelsFor(steps, 127)); }

  // The user's choice of a base-channel item, made with the keyboard on the closed list.
  // The user's choice of a base-channel item: open the list, walk to the item, take it.
  void ChooseBaseChannel(int item) {
    QComboBox* list = BaseChannel();
    list->showPopup();
    QAbstractItemView* view = list->view();
    while (view->currentIndex().row() < item) QTest::keyClick(view, Qt::Key_Down);
    while (view->currentIndex().row() > item) QTest::keyClick(view, Qt::Key_Up);
    QTest::keyClick(view, Qt::Key_Return);
    ASSERT_FALSE(view->isVisible());
  }

  void OpenPort() {
    Click(Button("OpenButton"));
    ASSERT_TRUE(Form->MidiOut().IsOpen());
  }

  Bytes Sent() const { return Midi->Bytes(); }
  void ForgetSent() { Midi->ClearMessages(); }
  std::string Log() const { return ReadFile(LogPath()).substr(FLogStart); }
  void ForgetLog() { FLogStart = ReadFile(LogPath()).size(); }

  TSoundRecord& Current() { return Form->Memory().Current(); }

  TRecordingMidiService Midi{{"Recording Out"}};
  std::unique_ptr<TMainForm> Form;

private:
  std::size_t FLogStart = 0;
};

}  // namespace

// ---- Start-up ----

TEST_F(Panel, StartsWithTheLayoutsInitialState) {
  EXPECT_EQ(Form->windowTitle(), "Halvorine v0.2");
  EXPECT_EQ(Form->pos(), QPoint(199, 137));
  EXPECT_EQ(Form->palette().color(QPalette::Window), QColor(212, 208, 200));
  for (int s = 0; s < 16; ++s) {
    EXPECT_EQ(SoundBox(s)->GetChecked(), s == 0) << kSounds[s];
    EXPECT_EQ(SoundBox(s)->GetGlyphIndex(), s == 0 ? 1 : 0) << kSounds[s];
  }
  for (int n = 1; n <= 24; ++n) {
    EXPECT_FALSE(ParBox(n)->isChecked()) << n;
    EXPECT_EQ(ParKnob(n)->GetPosition(), 0) << n;
    EXPECT_EQ(ParKnob(n)->GetMax(), 127) << n;
  }
  EXPECT_EQ(Knob("PresetA1Knob")->GetPosition(), 0);
  EXPECT_EQ(Knob("PresetB2Knob")->GetPosition(), 127);
  EXPECT_EQ(Knob("PresetB2Knob")->GetGlyphIndex(), 66);
  EXPECT_EQ(Knob("MixAKnob")->GetMin(), -100);
  EXPECT_EQ(Knob("MixAKnob")->GetGlyphIndex(), 33);
  EXPECT_EQ(Knob("MixKnob")->GetMax(), 100);
  EXPECT_EQ(BaseChannel()->currentText(), "1 - 4");
  EXPECT_EQ(BaseChannel()->count(), 13);
  EXPECT_EQ(Form->MidiOut().GetChannel(), 1);
  EXPECT_EQ(Button("GroupFilterButton2")->toolTip(), "Previous");
  EXPECT_EQ(Button("StoreAButton")->toolTip(), "Store");
  EXPECT_EQ(Find<QWidget>("Label23")->parentWidget()->objectName(), "GroupBox1");
  EXPECT_EQ(Button("OpenButton")->parentWidget(), Form.get());
  // Nothing is logged, sent or computed before the user acts.
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Midi->OpenCalls(), 0);
  EXPECT_EQ(Form->Memory().PresetsGenerated(), 0u);
}

TEST_F(Panel, OpenLogsAndSendsEveryTickedParameter) {
  Click(ParBox(2));
  Click(ParBox(24));
  ForgetLog();
  Click(Button("OpenButton"));
  EXPECT_TRUE(Form->MidiOut().IsOpen());
  EXPECT_EQ(Log(), "Midi is Open\r\n*");
  EXPECT_EQ(Sent(), (Bytes{0xB0, 17, 98, 0xB0, 39, 31}));
}

TEST_F(Panel, AFailedOpenIsNotReportedButTheUpdateStillRuns) {
  Midi->RefuseOpen(MMSYSERR_ALLOCATED);
  Click(ParBox(1));
  ForgetLog();
  Click(Button("OpenButton"));
  EXPECT_FALSE(Form->MidiOut().IsOpen());
  EXPECT_EQ(Log(), "*");
  EXPECT_EQ(Sent(), Bytes{});
}

// ---- Transmission ----

struct MappingCase {
  int BaseItem, Sound, Parameter;  // parameter 1..24
  std::uint8_t Status, Controller;
};

class Mapping : public Panel, public testing::WithParamInterface<MappingCase> {};

TEST_P(Mapping, ATurnedKnobSendsOnItsSoundsChannelAndController) {
  const MappingCase c = GetParam();
  OpenPort();
  ChooseBaseChannel(c.BaseItem);
  Click(SoundBox(c.Sound));
  ForgetSent();
  TurnUp(c.Parameter, 9);
  EXPECT_EQ(Sent(), (Bytes{c.Status, c.Controller, 9}));
  EXPECT_EQ(Current().Values[c.Parameter - 1], 9);
}

std::vector<MappingCase> AllSixteenSounds() {
  std::vector<MappingCase> cases;
  const int base[4] = {16, 40, 72, 96};
  for (int s = 0; s < 16; ++s) {
    cases.push_back(
        {0, s, 1, static_cast<std::uint8_t>(0xB0 + s / 4), static_cast<std::uint8_t>(base[s % 4])});
    cases.push_back({0, s, 24, static_cast<std::uint8_t>(0xB0 + s / 4),
                     static_cast<std::uint8_t>(base[s % 4] + 23)});
  }
  cases.push_back({1, 2, 1, 0xB1, 72});      // "2 - 5", HT: the second channel
  cases.push_back({12, 15, 13, 0xBF, 108});  // "13 - 16", M4, "Filter Freq"
  cases.push_back({12, 0, 9, 0xBC, 24});     // "13 - 16", BD, "AM Depth"
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Sounds, Mapping, testing::ValuesIn(AllSixteenSounds()),
                         [](const testing::TestParamInfo<MappingCase>& info) {
                           return "Base" + std::to_string(info.param.BaseItem + 1) + "_" +
                                  kSounds[info.param.Sound] + "_Par" +
                                  std::to_string(info.param.Parameter);
                         });

TEST_F(Panel, KnobValuesAtTheEndsOfTheRange) {
  OpenPort();
  TurnUp(1, 64);
  EXPECT_EQ(Sent(), (Bytes{0xB0, 16, 64}));
  Click(SoundBox(7));  // CB
  ForgetSent();
  TurnUp(24, 200);  // past the top: clamped to 127
  EXPECT_EQ(Sent(), (Bytes{0xB1, 119, 127}));
  ForgetSent();
  Drag(ParKnob(24), 300);  // down past the bottom
  EXPECT_EQ(Sent(), (Bytes{0xB1, 119, 0}));
}

TEST_F(Panel, EveryMoveOfADragSendsAlsoWhenTheValueStays) {
  OpenPort();
  TSkinKnob* knob = ParKnob(3);
  const QPoint at = knob->geometry().center();
  QTest::mousePress(Window(), Qt::LeftButton, {}, at);
  QTest::mouseMove(Window(), at + QPoint(0, -3));  // 2
  QTest::mouseMove(Window(), at + QPoint(4, -3));  // sideways: 2 again
  QTest::mouseMove(Window(), at + QPoint(0, 5));   // below the start: 0
  QTest::mouseRelease(Window(), Qt::LeftButton, {}, at + QPoint(0, 5));
  EXPECT_EQ(Sent(), (Bytes{0xB0, 18, 2, 0xB0, 18, 2, 0xB0, 18, 0}));
}

TEST_F(Panel, TurningATickedKnobUpdatesTheOthersFirst) {
  OpenPort();
  Click(ParBox(3));
  Click(ParBox(5));
  ForgetSent();
  ForgetLog();
  ASSERT_EQ(ParKnob(5)->GetPosition(), 5);  // showing bank A's value
  TurnUp(5, 9);
  // The untick runs one update for parameter 3 alone, then parameter 5's own value goes out.
  EXPECT_EQ(Sent(), (Bytes{0xB0, 18, 21, 0xB0, 20, 14}));
  EXPECT_FALSE(ParBox(5)->isChecked());
  EXPECT_TRUE(ParBox(3)->isChecked());
  EXPECT_EQ(Log(), "*");
  EXPECT_EQ(Current().Values[4], 14);

  ForgetSent();
  ForgetLog();
  TurnUp(5, 2);  // unticked now: its value alone, no update
  EXPECT_EQ(Sent(), (Bytes{0xB0, 20, 16}));
  EXPECT_EQ(Log(), "");
}

TEST_F(Panel, ABaseChannelChoiceIsLoggedAndSendsNothing) {
  OpenPort();
  ForgetLog();
  ChooseBaseChannel(4);
  EXPECT_EQ(BaseChannel()->currentText(), "5 - 8");
  EXPECT_EQ(Form->MidiOut().GetChannel(), 5);
  EXPECT_EQ(Log(), "5\r\n");
  EXPECT_EQ(Sent(), Bytes{});
  TurnUp(1, 1);
  EXPECT_EQ(Sent(), (Bytes{0xB4, 16, 1}));
}

TEST_F(Panel, AKnobShownByCodeIsNotAnEdit) {
  OpenPort();
  Click(ParBox(7));  // one update: parameter 7 follows and its knob shows the value
  EXPECT_EQ(Sent(), (Bytes{0xB0, 22, 46}));
  EXPECT_EQ(ParKnob(7)->GetPosition(), 46);
  EXPECT_TRUE(ParBox(7)->isChecked());  // showing the value did not untick it
  EXPECT_EQ(Current().Values[6], 46);
}

// ---- Morph update ----

TEST_F(Panel, AnUpdateWithNothingTickedLogsAndSendsNothing) {
  OpenPort();
  TurnUp(2, 5);
  ForgetSent();
  ForgetLog();
  Drag(Knob("MixKnob"), -64);
  EXPECT_EQ(Log(), "*");
  EXPECT_EQ(Sent(), Bytes{});
  EXPECT_EQ(Current().Values[1], 5);
  EXPECT_EQ(Current().Mix, 50);
}

TEST_F(Panel, TheMixKnobBlendsTheTickedParametersInAscendingOrder) {
  OpenPort();
  Click(ParBox(12));
  Click(ParBox(3));
  ForgetSent();
  ForgetLog();
  Drag(Knob("MixKnob"), -64);  // mix 50
  const auto blend = [](int i) { return (kPreset346[i] + kPreset460[i] + 1) / 2; };
  EXPECT_EQ(Sent(), (Bytes{0xB0, 18, static_cast<std::uint8_t>(blend(2)), 0xB0, 27,
                           static_cast<std::uint8_t>(blend(11))}));
  EXPECT_EQ(Log(), "*");
  EXPECT_EQ(ParKnob(3)->GetPosition(), blend(2));
  EXPECT_EQ(ParKnob(12)->GetPosition(), blend(11));
  EXPECT_EQ(ParKnob(4)->GetPosition(), 0);  // not ticked: did not move
  EXPECT_EQ(Current().MorphEnabled[2], 1);
  EXPECT_EQ(Current().MorphEnabled[3], 0);

  ForgetSent();
  Drag(Knob("MixAKnob"), PixelsFor(50, 200));  // MixA 50: half of bank A again
  EXPECT_EQ(Current().MixA, 50);
  EXPECT_EQ(Sent()[2], TSoundMemory::Blend(kPreset346[2], kPreset460[2], 50, 50, 0));
}

// ---- Preset stepping ----

struct StepCase {
  const char* Button;
  int P1, P2;          // bank pair before
  int WantP1, WantP2;  // after
};

class Stepping : public Panel, public testing::WithParamInterface<StepCase> {};

TEST_P(Stepping, StepsThePairAndRunsOneUpdate) {
  const StepCase c = GetParam();
  const bool bankA = QString(c.Button).startsWith('A');
  TSkinKnob* first = Knob(bankA ? "PresetA1Knob" : "PresetB1Knob");
  TSkinKnob* second = Knob(bankA ? "PresetA2Knob" : "PresetB2Knob");
  first->SetPosition(c.P1);
  second->SetPosition(c.P2);
  Click(Button(bankA ? "StoreAButton" : "StoreBButton"));  // the bank now on its snapshot
  ASSERT_EQ(bankA ? Current().UseStoredA : Current().UseStoredB, 1);
  ForgetLog();
  Click(Button(c.Button));
  EXPECT_EQ(first->GetPosition(), c.WantP1);
  EXPECT_EQ(second->GetPosition(), c.WantP2);
  EXPECT_EQ(bankA ? Current().UseStoredA : Current().UseStoredB, 0);
  EXPECT_EQ(Log(), "*");
  EXPECT_EQ(bankA ? Current().PresetA1 : Current().PresetB1, c.WantP1);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, Stepping,
    testing::Values(StepCase{"ADownButton", 0, 3, 127, 2}, StepCase{"AUpButton", 127, 3, 0, 4},
                    StepCase{"AUpButton", 127, 127, 127, 127}, StepCase{"ADownButton", 0, 0, 0, 0},
                    StepCase{"AUpButton", 5, 9, 6, 9}, StepCase{"BDownButton", 0, 1, 127, 0},
                    StepCase{"BUpButton", 126, 0, 127, 0},
                    StepCase{"BUpButton", 127, 127, 127, 127}, StepCase{"BDownButton", 0, 0, 0, 0}),
    [](const testing::TestParamInfo<StepCase>& info) {
      return std::string(info.param.Button) + "_" + std::to_string(info.param.P1) + "_" +
             std::to_string(info.param.P2);
    });

// ---- Group filter ----

TEST_F(Panel, AGroupButtonTicksItsColumnUnlessItIsAllTicked) {
  OpenPort();
  Click(ParBox(12));
  ForgetLog();
  ForgetSent();
  Click(Button("GroupFilterButton2"));
  for (int n = 1; n <= 24; ++n) EXPECT_EQ(ParBox(n)->isChecked(), n >= 9 && n <= 16) << n;
  EXPECT_EQ(Log(), "*");
  Bytes want;
  for (int i = 8; i < 16; ++i) {
    want.insert(want.end(), {0xB0, static_cast<std::uint8_t>(16 + i),
                             static_cast<std::uint8_t>(kPreset346[i])});
  }
  EXPECT_EQ(Sent(), want);

  ForgetLog();
  ForgetSent();
  Click(Button("GroupFilterButton2"));
  for (int n = 9; n <= 16; ++n) EXPECT_FALSE(ParBox(n)->isChecked()) << n;
  EXPECT_EQ(Log(), "*");
  EXPECT_EQ(Sent(), Bytes{});

  Click(Button("GroupFilterButton3"));
  for (int n = 17; n <= 24; ++n) EXPECT_TRUE(ParBox(n)->isChecked()) << n;
  Click(Button("GroupFilterButton1"));
  for (int n = 1; n <= 8; ++n) EXPECT_TRUE(ParBox(n)->isChecked()) << n;
}

// ---- Transport ----

TEST_F(Panel, TransportButtonsSendOneByteAndLogNothing) {
  OpenPort();
  ForgetLog();
  Click(Button("Button1"));
  Click(Button("Button3"));
  Click(Button("Button2"));
  EXPECT_EQ(Sent(), (Bytes{0xFA, 0xFB, 0xFC}));
  EXPECT_EQ(Log(), "");
}

TEST_F(Panel, SendsWithoutAnOpenPortAreLost) {
  TurnUp(1, 10);
  Click(Button("Button1"));
  EXPECT_EQ(Sent(), Bytes{});
  EXPECT_EQ(Current().Values[0], 10);
}

// ---- Errors ----

// Runs a click whose handler raises, and returns the text of the message box it brought up.
QString ErrorShownBy(const std::function<void()>& click) {
  QString shown;
  QTimer::singleShot(0, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->accept();
    }
  });
  click();
  return shown;
}

TEST_F(Panel, ACloseErrorIsShownAndThePanelGoesOn) {
  OpenPort();
  TManualTickCount clock(0, 500);  // the waits pass in a few reads
  Midi->HoldOutput(true);          // output that never drains
  Click(Button("Button1"));
  EXPECT_EQ(ErrorShownBy([&] { Click(Button("CloseButton")); }),
            "error: Midiout takes too long to send data");
  // The device stayed open: the panel goes on sending once the output drains.
  Midi->HoldOutput(false);
  Midi->ReleaseOutput();
  ForgetSent();
  Click(Button("Button3"));
  TurnUp(1, 3);
  EXPECT_EQ(Sent(), (Bytes{0xFB, 0xB0, 16, 3}));

  // A device that never reports closed: the second text, and the window still answers.
  MidiOutFlushNotifications();  // the sends above have reported done: nothing is pending
  ASSERT_FALSE(Form->MidiOut().IsBusy());
  Midi->SetReportClose(false);
  EXPECT_EQ(ErrorShownBy([&] { Click(Button("CloseButton")); }), "error: Unable to close Midiout");
  Click(SoundBox(5));
  EXPECT_TRUE(SoundBox(5)->GetChecked());
  EXPECT_EQ(Form->Memory().SelectedSound(), 5);
  Form.reset();  // its close gives up on the manual clock too; destruction raises nothing
  EXPECT_EQ(Midi->OpenPorts(), 0);
}

TEST_F(Panel, CloseWithoutAnOpenPortDoesNothing) {
  Click(Button("CloseButton"));
  EXPECT_EQ(Midi->CloseCalls(), 0);
  OpenPort();
  Click(Button("CloseButton"));
  EXPECT_FALSE(Form->MidiOut().IsOpen());
  Click(Button("Button1"));
  EXPECT_EQ(Sent(), Bytes{});
}

TEST(StartUp, AnErrorWhileTheWindowIsMadeIsShownAndTheProgramEndsWithOne) {
  TRecordingMidiService midi;
  std::vector<std::unique_ptr<TMidiOut>> pool;  // every port slot taken: the window's port fails
  for (int i = 0; i < 16; ++i) pool.push_back(std::make_unique<TMidiOut>());
  auto* app = static_cast<TApplication*>(QCoreApplication::instance());
  int result = -1;
  EXPECT_EQ(ErrorShownBy([&] { result = app->RunMainForm(); }), "error: Midiout pool full");
  EXPECT_EQ(result, 1);
}

TEST(TapTempo, IsTheMeanOfTheLastEightTapsAndStartsOverAfterAPause) {
  const struct {
    std::vector<std::int64_t> Taps;  // ms
    std::optional<double> Bpm;
  } cases[] = {
      {{0}, std::nullopt},
      {{0, 500}, 120.0},
      {{0, 400, 1000}, 120.0},
      {{0, 500, 2501}, std::nullopt},  // more than 2 s: a new count of one tap
      {{0, 500, 2500}, 48.0},
      {{0, 500, 2600, 3350}, 80.0},
      {{0, 1000, 1250, 1500, 1750, 2000, 2250, 2500, 2750}, 240.0},  // the first tap has left
      {{0, 100}, 300.0},
      {{0, 700}, 85.71},
  };
  for (const auto& c : cases) {
    TTapTempo tap;
    std::optional<double> bpm;
    for (const std::int64_t ms : c.Taps) bpm = tap.Tap(ms);
    EXPECT_EQ(bpm, c.Bpm) << "taps ending at " << c.Taps.back();
  }
}
