// The port's status line on the real main window, over the recording MIDI backend.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <functional>

#include "Eventually.h"
#include "MainForm.h"
#include "MidiOutComboBox.h"
#include "RecordingMidiBackend.h"

namespace {

class MidiStatusLine : public ::testing::Test {
protected:
  void SetUp() override {
    Form = std::make_unique<TMainForm>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }
  void TearDown() override { Form.reset(); }

  void Click(const char* name) {
    QWidget* button = Form->findChild<QPushButton*>(name);
    QTest::mouseClick(Form->windowHandle(), Qt::LeftButton, {}, button->geometry().center());
  }
  // The status line once the port's state has settled on what `done` waits for.
  template <typename TDone>
  QString StatusWhen(TDone done) {
    EXPECT_TRUE(halvorine_test::Eventually(done));
    Form->UpdateMidiStatus();
    const QString text = Form->MidiStatusLabel()->text();
    EXPECT_EQ(Form->findChild<TMidiOutComboBox*>("MidiOutComboBox")->toolTip(), text);
    return text;
  }

  TRecordingMidiService Midi{{"Synth"}};
  std::unique_ptr<TMainForm> Form;
};

}  // namespace

TEST_F(MidiStatusLine, SitsBelowTheTransportButtonsOverNoOtherControl) {
  const QRect line = Form->MidiStatusLabel()->geometry();
  const QRect start = Form->findChild<QPushButton*>("Button1")->geometry();
  EXPECT_GT(line.top(), start.bottom());
  EXPECT_LE(line.bottom(), Form->height());
  for (QWidget* other : Form->MidiStatusLabel()->parentWidget()->findChildren<QWidget*>(
           Qt::FindDirectChildrenOnly)) {
    if (other != Form->MidiStatusLabel()) {
      EXPECT_FALSE(line.intersects(other->geometry()));
    }
  }
  EXPECT_EQ(Form->MidiStatusLabel()->focusPolicy(), Qt::NoFocus);
}

TEST_F(MidiStatusLine, FollowsThePortThroughItsStates) {
  TMidiOut& port = Form->MidiOut();
  const auto now = [] { return true; };
  struct TStep {
    const char* What;
    std::function<void()> Act;
    std::function<bool()> Settled;
    QString Text;
  };
  // Start and Stop wait for the device; what cannot go out within a second is dropped, so that
  // the instrument does not start when the device returns.
  const TStep steps[] = {
      {"at start", [] {}, now, "MIDI closed"},
      {"open refused", [&] { Midi->RefuseOpen(MMSYSERR_ALLOCATED), Click("OpenButton"); }, now,
       "MIDI closed - last error: device already in use (code 4)"},
      {"open: the last error is over",
       [&] { Midi->RefuseOpen(MMSYSERR_NOERROR), Click("OpenButton"); },
       [&] { return port.IsOpen(); }, "MIDI open on Synth"},
      {"device gone", [&] { Midi->SetDevices({}), port.SendStart(), port.SendStop(); },
       [&] { return port.State().Link == TMidiLink::mlWaiting && port.State().Queued == 2; },
       "MIDI waiting for Synth to return, 2 queued"},
      {"transport dropped", [] {}, [&] { return port.State().TransportDropped == 2; },
       "MIDI waiting for Synth to return, 2 transport dropped"},
      {"device back", [&] { Midi->SetDevices({"Synth"}); },
       [&] { return port.State().Link == TMidiLink::mlOpen; },
       "MIDI open on Synth, 2 transport dropped"},
      {"closed", [&] { Click("CloseButton"); }, [&] { return !port.IsOpen(); }, "MIDI closed"},
  };
  for (const TStep& step : steps) {
    step.Act();
    EXPECT_EQ(StatusWhen(step.Settled), step.Text) << step.What;
  }
  for (const TRecordedMessage& m : Midi->Messages()) EXPECT_LT(m.Bytes[0], 0xF0) << "no transport";
}
