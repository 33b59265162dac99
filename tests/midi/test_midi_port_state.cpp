// The device list read off the caller's thread, and the texts of the port's status line.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "MidiOut.h"
#include "MidiOutComboBox.h"
#include "MidiOutStatus.h"
#include "RecordingMidiBackend.h"

TEST(MidiOutComboBox, IsMadeAtOnceOnAStalledServerAndFilledWhenTheListComes) {
  TRecordingMidiService midi({"A", "B"});
  midiOutGetNumDevs();
  midi->Stall(true);
  TMidiOutComboBox box;
  EXPECT_EQ(box.count(), 0);
  EXPECT_FALSE(box.Listed());
  QSignalSpy listed(&box, &TMidiOutComboBox::DevicesListed);
  midi->Stall(false);
  ASSERT_TRUE(listed.wait(10000));
  EXPECT_EQ(box.count(), 2);
  EXPECT_EQ(box.DeviceID(), 0);
}

TEST(MidiOutComboBox, OpeningTheDropDownReadsTheListAgainKeepingTheChoiceByName) {
  TRecordingMidiService midi({"A", "B", "C"});
  TMidiOutComboBox box;
  box.show();
  box.SetDeviceID(1);
  TMidiOut port;
  port.SetDeviceID(box.DeviceID());
  ASSERT_TRUE(port.Open());
  midi->SetDevices({"Z", "B", "D"});
  QSignalSpy listed(&box, &TMidiOutComboBox::DevicesListed);
  box.showPopup();
  ASSERT_TRUE(listed.wait(10000));
  box.hidePopup();
  EXPECT_EQ(box.itemText(2), "D");
  EXPECT_EQ(box.currentText(), "B");
  EXPECT_EQ(box.DeviceID(), 1);
  EXPECT_TRUE(port.IsOpen()) << "the open port is left as it is";
  port.SendStart();
  ASSERT_EQ(midi->Messages().size(), 1u);
  EXPECT_EQ(midi->Messages()[0].Device, "B");
  port.Close();
}

TEST(MidiOutStatusText, SaysWhatThePortIsDoing) {
  using L = TMidiLink;
  struct TCase {
    TMidiLink Link;
    const char* Device;
    std::size_t Queued;
    std::uint64_t Dropped;
    int Code;
    const char* Error;
    const char* Text;
    std::uint64_t TransportDropped = 0;
    double ClockBpm = 0;
    bool ClockRunning = false;
  };
  const TCase cases[] = {
      {L::mlClosed, "", 0, 0, 0, "", "MIDI closed"},
      {L::mlOpening, "Synth", 0, 0, 0, "", "MIDI opening Synth"},
      {L::mlOpen, "Synth", 0, 0, 0, "", "MIDI open on Synth"},
      {L::mlOpen, "Synth", 24, 0, 0, "", "MIDI open on Synth, 24 queued"},
      {L::mlWaiting, "Synth", 3, 2, 0, "", "MIDI waiting for Synth to return, 3 queued, 2 dropped"},
      {L::mlOpen, "Synth", 1, 0, 0, "", "MIDI open on Synth, 1 queued, 3 transport dropped", 3},
      {L::mlClosed, "", 0, 7, 0, "", "MIDI closed, 7 dropped"},
      {L::mlClosed, "", 0, 0, 4, "", "MIDI closed - last error: device already in use (code 4)"},
      {L::mlClosed, "", 0, 0, 2000, "",
       "MIDI closed - last error: device did not open within 5 s (code 2000)"},
      {L::mlClosed, "", 0, 0, 2, "", "MIDI closed - last error: no such device (code 2)"},
      {L::mlOpen, "Synth", 5, 0, 0, kMidiOutSendTooLong,
       "MIDI open on Synth, 5 queued - last error: error: Midiout takes too long to send data"},
      {L::mlOpen, "Synth", 2, 0, 0, "", "MIDI open on Synth, 2 queued \u00B7 clock 120 BPM", 0, 120,
       true},
      {L::mlOpen, "Synth", 0, 0, 0, "", "MIDI open on Synth \u00B7 clock 97.25 BPM", 0, 97.254,
       true},
      {L::mlOpen, "Synth", 0, 0, 0, "", "MIDI open on Synth", 0, 120, false},  // stopped
  };
  for (const TCase& c : cases) {
    TMidiOutStatus status;
    status.State.Link = c.Link;
    status.State.Device = c.Device;
    status.State.Queued = c.Queued;
    status.State.Dropped = c.Dropped;
    status.State.TransportDropped = c.TransportDropped;
    status.State.ClockBpm = c.ClockBpm;
    status.State.ClockRunning = c.ClockRunning;
    status.ErrorCode = c.Code;
    status.ErrorText = c.Error;
    EXPECT_EQ(MidiOutStatusText(status), c.Text) << c.Text;
  }
}
