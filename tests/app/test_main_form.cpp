// The real main window, driven offscreen with Qt mouse and key events on its real controls, over
// the recording MIDI backend: what each command logs, the errors it shows, and the choices made at
// start-up.
#include <gtest/gtest.h>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <tuple>

#include "Application.h"
#include "DebugDevice.h"
#include "PanelDriver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The log stays open for the whole process (its state is class-wide), on a file in a folder of
// this process's own; each case reads only what was written after it began.
std::string Log(std::size_t from = 0) {
  static QTemporaryDir folder;
  static bool opened = [] {
    TDebugDevice::SetLogFolder(folder.path().toStdString());
    TDebugDevice log;
    log.SetMedia(TDebugDevice::dmFile);
    log.Open();
    return TDebugDevice::GetOpened();
  }();
  EXPECT_TRUE(opened);
  std::ifstream in(TDebugDevice::LogFilePath(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str().substr(from);
}

class Panel : public testing::Test {
protected:
  void SetUp() override { NewForm(); }
  void TearDown() override { Form.reset(); }

  void NewForm() {
    FLogStart = Log().size();
    Form = std::make_unique<TMainForm>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    P.emplace(*Form);
  }
  void OpenPort() {
    P->Press("OpenButton");
    ASSERT_TRUE(Form->MidiOut().IsOpen());
  }
  // Turns parameter knob i (0..23) up from where it stands by `steps` values.
  void TurnUp(int i, int steps) { P->DragTo(P->Knob(i), P->Knob(i)->GetPosition() + steps); }
  std::string NewLog() { return Log(std::exchange(FLogStart, Log().size())); }

  TRecordingMidiService Midi{{"Recording Out"}};
  std::unique_ptr<TMainForm> Form;
  std::optional<TPanelDriver> P;

private:
  std::size_t FLogStart = 0;
};

}  // namespace

// The controls' places and first values are checked against the layout's table (test_panel).
TEST_F(Panel, StartsWithNothingLoggedSentOrComputed) {
  EXPECT_EQ(Form->palette().color(QPalette::Window), QColor(212, 208, 200));
  EXPECT_EQ(Form->MidiOut().GetChannel(), 1);
  EXPECT_EQ(NewLog(), "");
  EXPECT_EQ(Midi->OpenCalls(), 0);
  EXPECT_EQ(Form->Memory().PresetsGenerated(), 0u);
}

// What each command writes to the log: "*" for every morph update, nothing for the commands that
// run none. What they send and show is checked gesture by gesture against the panel's model
// (test_random_gestures).
TEST_F(Panel, EachCommandLogsItsUpdatesAndNothingElse) {
  const auto press = [&](std::vector<const char*> buttons) {
    return [this, buttons] {
      for (const char* b : buttons) P->Press(b);
    };
  };
  // The case, what it arranges, what it does, what that logs.
  const std::tuple<const char*, std::function<void()>, std::function<void()>, std::string> cases[] =
      {
          {"Open", [&] { P->Click(P->ParBox(1)); }, press({"OpenButton"}), "Midi is Open\r\n*"},
          {"FailedOpen", [&] { Midi->RefuseOpen(MMSYSERR_ALLOCATED); }, press({"OpenButton"}), "*"},
          {"BaseChannel", [] {}, [&] { P->ChooseBaseChannel(4); }, "5\r\n"},
          {"TickedKnob", [&] { P->Click(P->ParBox(2)), P->Click(P->ParBox(4)); },
           [&] { TurnUp(4, 9); }, "*"},
          {"UntickedKnob", [] {}, [&] { TurnUp(4, 2); }, ""},
          {"MixWithNothingTicked", [] {},
           [&] { P->Drag(P->Find<TSkinKnob>("MixKnob"), {QPoint(0, -64)}); }, "*"},
          {"GroupFilterTwice", [] {}, press({"GroupFilterButton2", "GroupFilterButton2"}), "**"},
          {"Store", [] {}, press({"StoreAButton", "StoreBButton"}), ""},
          {"Recall", [] {}, press({"RecallBButton"}), "*"},
          {"StepUpAtTheTop", [&] { P->Find<TSkinKnob>("PresetB1Knob")->SetPosition(127); },
           press({"BUpButton"}), "*"},
          {"StepDown", [] {}, press({"ADownButton"}), "*"},
          {"SelectSound", [] {}, [&] { P->Click(P->SoundBox(8)); }, ""},
          {"Transport", [&] { OpenPort(); }, press({"Button1", "Button3", "Button2"}), ""},
      };
  for (const auto& [name, arrange, act, log] : cases) {
    SCOPED_TRACE(name);
    Midi->RefuseOpen(MMSYSERR_NOERROR);
    NewForm();
    arrange();
    NewLog();
    act();
    EXPECT_EQ(NewLog(), log);
  }
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
  P->Press("Button1");
  EXPECT_EQ(ErrorShownBy([&] { P->Press("CloseButton"); }),
            "error: Midiout takes too long to send data");
  // The device stayed open: the panel goes on sending once the output drains.
  Midi->HoldOutput(false);
  Midi->ReleaseOutput();
  Midi->ClearMessages();
  P->Press("Button3");
  TurnUp(0, 3);
  EXPECT_EQ(Midi->Bytes(), (Bytes{0xFB, 0xB0, 16, 3}));

  // A device that never reports closed: the second text, and the window still answers.
  MidiOutFlushNotifications();  // the sends above have reported done: nothing is pending
  ASSERT_FALSE(Form->MidiOut().IsBusy());
  Midi->SetReportClose(false);
  EXPECT_EQ(ErrorShownBy([&] { P->Press("CloseButton"); }), "error: Unable to close Midiout");
  P->Click(P->SoundBox(5));
  EXPECT_TRUE(P->SoundBox(5)->GetChecked());
  EXPECT_EQ(Form->Memory().SelectedSound(), 5);
  Form.reset();  // its close gives up on the manual clock too; destruction raises nothing
  EXPECT_EQ(Midi->OpenPorts(), 0);
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

// A device chosen on the command line is selected by its whole name, without opening it.
TEST(StartUp, DeviceIsSelectedByItsWholeNameWithoutOpening) {
  TRecordingMidiService midi({"Synth", "Synth B", "midi-monitor:input"});
  const std::tuple<const char*, bool, int> cases[] = {
      {"Synth B", true, 1}, {"midi-monitor:input", true, 2},
      {"Synth", true, 0},   {"synth b", false, 0},
      {"Synth ", false, 0}, {"midi-monitor", false, 0}};
  for (const auto& [name, found, selected] : cases) {
    TMainForm form;
    EXPECT_EQ(form.SelectDeviceByName(QString::fromUtf8(name)), found) << name;
    EXPECT_EQ(TPanelDriver(form).Find<QComboBox>("MidiOutComboBox")->currentIndex(), selected)
        << name;
    EXPECT_FALSE(form.MidiOut().IsOpen()) << name;
  }
  EXPECT_EQ(midi->OpenCalls(), 0);
  EXPECT_TRUE(midi->Bytes().empty());
}

TEST(TapTempo, IsTheMeanOfTheLastEightTapsAndStartsOverAfterAPause) {
  // The taps in ms; the tempo after the last.
  const std::pair<std::vector<std::int64_t>, std::optional<double>> cases[] = {
      {{0}, std::nullopt},
      {{0, 500}, 120.0},
      {{0, 400, 1000}, 120.0},
      {{0, 500, 2501}, std::nullopt},  // more than 2 s: a new count of one tap
      {{0, 500, 2500}, 48.0},
      {{0, 500, 2600, 3350}, 80.0},
      {{0, 1000, 1250, 1500, 1750, 2000, 2250, 2500, 2750}, 240.0},  // the first tap has left
      {{0, 100}, 300.0},
      {{0, 700}, 85.71}};
  for (const auto& [taps, expected] : cases) {
    TTapTempo tap;
    std::optional<double> bpm;
    for (const std::int64_t ms : taps) bpm = tap.Tap(ms);
    EXPECT_EQ(bpm, expected) << "taps ending at " << taps.back();
  }
}
