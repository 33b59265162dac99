// The keyboard played with Qt mouse events, through a port on a real JACK server, into
// jack_midi_dump.
#include <gtest/gtest.h>

#include <chrono>

#include "ComponentTestSupport.h"
#include "JackHarness.h"
#include "MidiBackend.h"
#include "MidiOutService.h"

namespace {

TEST(KeyboardOverJack, AGlissandoArrivesAsNoteOnsAndNoteOffs) {
  MidiOutSetBackend(nullptr);
  TJackHarness jack;
  ASSERT_TRUE(jack.Start()) << jack.Error();
  {
    TMidiOut port;
    port.SetDeviceID(TJackHarness::DumpDevice());
    ASSERT_GE(port.DeviceID(), 0) << "the dump's input is not listed";
    ASSERT_TRUE(port.Open()) << "ErrorCode " << port.ErrorCode();

    TKeyboardHost host;
    host.Keyboard->SetMidiOut(&port);
    host.Keyboard->SetMidiChannel(2);
    host.Press({14, 10});  // C sharp
    host.Move({20, 10});   // on to D
    host.Move({-10, 10});  // out of the control: D keeps sounding
    host.Release({-10, 10});
    host.Press({395, 50});  // middle C
    host.Release({395, 50});

    // A marker after the gesture: once it is in, anything more the keyboard sent is too.
    ASSERT_EQ(port.SendControlChange(15, 0x77, 0x7F), MMSYSERR_NOERROR);
    const std::vector<std::vector<std::uint8_t>> expected = {
        {0x91, 0x01, 0x36}, {0x91, 0x01, 0x00}, {0x91, 0x02, 0x36}, {0x91, 0x02, 0x00},
        {0x91, 0x3C, 0x36}, {0x91, 0x3C, 0x00}, {0xBF, 0x77, 0x7F}};
    ASSERT_TRUE(jack.WaitForMessages(expected.size(), std::chrono::seconds(10)));
    EXPECT_EQ(jack.DumpedMessages(), expected);
    port.Close();
  }
  jack.Stop();
}

}  // namespace
