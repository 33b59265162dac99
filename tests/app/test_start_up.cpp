// Start-up choices made from the command line, on the real window offscreen.
#include <gtest/gtest.h>

#include <QComboBox>

#include "MainForm.h"
#include "RecordingMidiBackend.h"

namespace {

TEST(StartUp, DeviceIsSelectedByItsWholeNameWithoutOpening) {
  TRecordingMidiService midi({"Synth", "Synth B", "midi-monitor:input"});
  const struct {
    const char* Name;
    bool Found;
    int Selected;  // the picker's item afterwards
  } cases[] = {
      {"Synth B", true, 1}, {"midi-monitor:input", true, 2},
      {"Synth", true, 0},   {"synth b", false, 0},  // names are matched exactly
      {"Synth ", false, 0}, {"midi-monitor", false, 0},
  };
  for (const auto& c : cases) {
    TMainForm form;
    auto* picker = form.findChild<QComboBox*>(QStringLiteral("MidiOutComboBox"));
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(form.SelectDeviceByName(QString::fromUtf8(c.Name)), c.Found) << c.Name;
    EXPECT_EQ(picker->currentIndex(), c.Selected) << c.Name;
    EXPECT_FALSE(form.MidiOut().IsOpen()) << c.Name;
  }
  EXPECT_EQ(midi->OpenCalls(), 0);
  EXPECT_TRUE(midi->Bytes().empty());
}

}  // namespace
