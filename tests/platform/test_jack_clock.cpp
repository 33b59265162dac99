// The clock that the JACK output times itself, as the harness's recorder records it: each event
// stamped with the server's frame time (the cycle's first frame plus the event's offset).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Eventually.h"
#include "JackHarness.h"
#include "MidiBackend.h"
#include "MidiOutService.h"

namespace {

using halvorine_test::Eventually;

// Waits until the recorder has a control change of `value`: a marker sent after what is to be seen.
bool WaitForMarker(const TJackHarness& jack, std::uint8_t value) {
  return Eventually([&] {
    for (const std::vector<std::uint8_t>& m : jack.DumpedMessages()) {
      if (m.size() == 3 && m[0] == 0xB0 && m[2] == value) return true;
    }
    return false;
  });
}

}  // namespace

// Start, Stop, Continue, Stop at 300 BPM on 48 kHz (a tick every 400 frames, two or three in each
// cycle of 1024, so that one falls after every Stop in its cycle): the
// ticks fall at their own frames, one period after a Start or Continue and each one period after
// the last; a Stop ends them at once; a Continue counts on from where the Stop left the count.
TEST(JackClock, TicksAtTheirOwnFramesStopEndsThemContinueCountsOn) {
  TJackHarness jack;
  ASSERT_TRUE(jack.Start({48000, 1024})) << jack.Error();
  MidiOutSetBackend(nullptr);
  const int device = TJackHarness::DumpDevice();
  ASSERT_GE(device, 0);
  HMIDIOUT h = 0;
  ASSERT_EQ(midiOutOpen(&h, UINT(device), nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(MidiOutSetClock(h, 300.0), MMSYSERR_NOERROR);
  std::vector<std::uint64_t> counts;  // the port's count at each Stop
  for (const std::uint8_t run : {0xFA, 0xFB}) {
    const std::uint64_t from = MidiOutGetClock(h).Ticks;
    midiOutShortMsg(h, run);
    ASSERT_TRUE(Eventually([&] { return MidiOutGetClock(h).Ticks >= from + 24; }));
    midiOutShortMsg(h, 0xFC);
    midiOutShortMsg(h, 0x0001B0 | DWORD(run & 0x7F) << 16);
    ASSERT_TRUE(WaitForMarker(jack, run & 0x7F));
    counts.push_back(MidiOutGetClock(h).Ticks);
  }
  midiOutClose(h);

  std::vector<std::uint64_t> ticks;  // recorded in each run
  int late = 0;
  std::optional<std::uint32_t> run;  // the Start's or the Continue's frame
  for (const TJackHarness::TRecorded& e : jack.Recorded()) {
    const std::uint8_t status = e.Bytes[0];
    if (status == 0xFA || status == 0xFB) {
      ticks.push_back(0);
      run = e.Frame;
    } else if (status == 0xFC) {
      run.reset();
    } else if (status == 0xF8) {
      ASSERT_TRUE(run.has_value()) << "a tick after a Stop";
      const std::uint32_t due = *run + 400 * std::uint32_t(++ticks.back());
      // A tick is on its frame, or overdue after a stall of the server and then at the first
      // frame of the next cycle that ran.
      if (e.Frame != due) {
        ++late;
        EXPECT_TRUE(e.Frame > due && e.Offset == 0) << "tick at " << e.Frame << ", due at " << due;
      }
    }
  }
  EXPECT_EQ(ticks, (std::vector<std::uint64_t>{counts[0], counts[1] - counts[0]}));
  EXPECT_LT(late * 20, counts[1]) << late << " ticks late";
}
