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

// The controls' places and first values are checked against the layout's table (test_panel).
TEST_F(Panel, StartsWithNothingLoggedSentOrComputed) {
  EXPECT_EQ(Form->palette().color(QPalette::Window), QColor(212, 208, 200));
  EXPECT_EQ(Form->MidiOut().GetChannel(), 1);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(Midi->OpenCalls(), 0);
  EXPECT_EQ(Form->Memory().PresetsGenerated(), 0u);
}

// What each command writes to the log: "*" for every morph update, nothing for the commands that
// run none. What they send and show is checked gesture by gesture against the panel's model
// (test_random_gestures).
TEST_F(Panel, EachCommandLogsItsUpdatesAndNothingElse) {
  struct TCase {
    const char* Name;
    std::function<void()> Arrange, Act;
    std::string Log;
  };
  const TCase cases[] = {
      {"Open", [&] { Click(ParBox(2)); }, [&] { Click(Button("OpenButton")); },
       "Midi is Open\r\n*"},
      {"FailedOpen", [&] { Midi->RefuseOpen(MMSYSERR_ALLOCATED); },
       [&] { Click(Button("OpenButton")); }, "*"},
      {"BaseChannel", [] {}, [&] { ChooseBaseChannel(4); }, "5\r\n"},
      {"TickedKnob", [&] { Click(ParBox(3)), Click(ParBox(5)); }, [&] { TurnUp(5, 9); }, "*"},
      {"UntickedKnob", [] {}, [&] { TurnUp(5, 2); }, ""},
      {"MixWithNothingTicked", [] {}, [&] { Drag(Knob("MixKnob"), -64); }, "*"},
      {"GroupFilterTwice", [] {},
       [&] { Click(Button("GroupFilterButton2")), Click(Button("GroupFilterButton2")); }, "**"},
      {"Store", [] {}, [&] { Click(Button("StoreAButton")), Click(Button("StoreBButton")); }, ""},
      {"Recall", [] {}, [&] { Click(Button("RecallBButton")); }, "*"},
      {"StepUpAtTheTop", [&] { Knob("PresetB1Knob")->SetPosition(127); },
       [&] { Click(Button("BUpButton")); }, "*"},
      {"StepDown", [] {}, [&] { Click(Button("ADownButton")); }, "*"},
      {"SelectSound", [] {}, [&] { Click(SoundBox(8)); }, ""},
      {"Transport", [&] { OpenPort(); },
       [&] { Click(Button("Button1")), Click(Button("Button3")), Click(Button("Button2")); }, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Midi->RefuseOpen(MMSYSERR_NOERROR);
    Form = std::make_unique<TMainForm>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    c.Arrange();
    ForgetLog();
    c.Act();
    EXPECT_EQ(Log(), c.Log);
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
