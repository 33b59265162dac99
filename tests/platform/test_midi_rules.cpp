// Rules of the MIDI layer that hold whatever the timing: the room of an ALSA receiver, and a
// sequencer port found again under another address.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "AlsaInputRoom.h"
#include "Eventually.h"
#include "MidiOutService.h"
#include "MidiPortNames.h"
#include "RecordingMidiBackend.h"

using halvorine_test::Eventually;

// A receiver's queue of 64 that a slow reader empties one event every third write: the writer
// looks at the room again whenever its count is spent, writes all the reader makes room for, and
// never fills the room kept for others.
TEST(AlsaRoomCredit, ASlowReadersQueueIsNeverOverfilled) {
  constexpr int kSize = 64;
  int queued = 0;
  int most = 0;
  int written = 0;
  TAlsaRoomCredit credit;
  const auto look = [&] { return std::optional<TAlsaInputRoom>({kSize - queued, kSize}); };
  for (int step = 0; step < 900; ++step) {
    if (step % 3 == 0 && queued > 0) --queued;
    if (credit.MayWrite(look)) {
      credit.Wrote();
      ++queued;
      ++written;
    }
    most = std::max(most, queued);
  }
  EXPECT_EQ(most, kSize - TAlsaRoomCredit::kKept);
  EXPECT_GE(written, 300 + most - 1);
  // A receiver that does not tell its room is written to without a look.
  TAlsaRoomCredit untold;
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(untold.MayWrite([] { return std::optional<TAlsaInputRoom>(); }));
    untold.Wrote();
  }
}

// A sequencer port keeps its client's and its own name when its client comes back under another
// number; another client at the old address is another device.
TEST(AlsaPortName, APortIsFoundAgainByItsNamesAtAnotherAddress) {
  const std::vector<std::string> names = {"Other:out 20:0", "Synth:out 24:0", "Synth:in 24:1"};
  const auto alsa = [](std::size_t) { return true; };
  EXPECT_EQ(FindDeviceByName(names, "Synth:out 20:0", alsa), 1u);
  EXPECT_EQ(FindDeviceByName(names, "Other:out 20:0", alsa), 0u);
  EXPECT_EQ(FindDeviceByName(names, "Synth:thru 20:0", alsa), 3u);
  EXPECT_EQ(FindDeviceByName(names, "Synth:out 20:0", [](std::size_t) { return false; }), 3u);
}

namespace {

class TSequencerBackend : public TRecordingMidiBackend {
public:
  using TRecordingMidiBackend::TRecordingMidiBackend;
  std::size_t FindDevice(const std::vector<std::string>& names, const std::string& name) override {
    return FindDeviceByName(names, name, [](std::size_t) { return true; });
  }
};

}  // namespace

TEST(AlsaPortName, APortThatReturnsAtAnotherAddressIsOpenedAgain) {
  auto backend = std::make_shared<TSequencerBackend>(std::vector<std::string>{"Synth:out 20:0"});
  const std::shared_ptr<TMidiBackend> previous = MidiOutSetBackend(backend);
  ASSERT_EQ(midiOutGetNumDevs(), 1u);
  HMIDIOUT h = 0;
  ASSERT_EQ(midiOutOpen(&h, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  backend->SetDevices({"Other:out 20:0"});
  ASSERT_TRUE(Eventually([&] { return MidiOutGetState(h).Link == TMidiLink::mlWaiting; }));
  backend->SetDevices({"Other:out 20:0", "Synth:out 24:0"});
  ASSERT_TRUE(Eventually([&] { return MidiOutGetState(h).Link == TMidiLink::mlOpen; }));
  midiOutShortMsg(h, 0x0110B0);
  EXPECT_EQ(backend->Messages(),
            (std::vector<TRecordedMessage>{{"Synth:out 24:0", {0xB0, 0x10, 0x01}}}));
  midiOutClose(h);
  MidiOutSetBackend(previous);
}
