// The clock that the JACK output times itself, as a client of the server records it: each event
// stamped with the server's frame time (the cycle's first frame plus the event's offset).
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
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

constexpr const char* kRecorderPort = "clock-recorder:in";

class TRecorder {
public:
  struct TEvent {
    jack_nframes_t Frame = 0;
    std::uint8_t Status = 0;
    std::uint8_t Value = 0;  // the second data byte of a control change
  };

  TRecorder() {
    FClient = jack_client_open("clock-recorder", JackNoStartServer, nullptr);
    if (FClient == nullptr) return;
    FPort = jack_port_register(FClient, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(FClient, &TRecorder::Process, this);
    if (FPort == nullptr || jack_activate(FClient) != 0) FPort = nullptr;
  }
  ~TRecorder() {
    if (FClient != nullptr) jack_client_close(FClient);
  }
  bool Ready() const { return FPort != nullptr; }
  std::vector<TEvent> Events() const {
    return {FEvents.begin(), FEvents.begin() + FCount.load(std::memory_order_acquire)};
  }
  // Waits for a control change of `value` (a marker sent after what is to be seen).
  bool WaitForMarker(std::uint8_t value) const {
    return Eventually([&] {
      const std::vector<TEvent> events = Events();
      return std::any_of(events.begin(), events.end(),
                         [&](const TEvent& e) { return e.Status == 0xB0 && e.Value == value; });
    });
  }

private:
  static int Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<TRecorder*>(arg);
    void* buffer = jack_port_get_buffer(self->FPort, frames);
    const jack_nframes_t start = jack_last_frame_time(self->FClient);
    std::size_t count = self->FCount.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < jack_midi_get_event_count(buffer); ++i) {
      jack_midi_event_t event{};
      if (jack_midi_event_get(&event, buffer, i) != 0 || count == self->FEvents.size()) continue;
      self->FEvents[count++] = {start + event.time, event.buffer[0],
                                event.size == 3 ? event.buffer[2] : std::uint8_t{0}};
    }
    self->FCount.store(count, std::memory_order_release);
    return 0;
  }

  jack_client_t* FClient = nullptr;
  jack_port_t* FPort = nullptr;
  std::vector<TEvent> FEvents = std::vector<TEvent>(100000);
  std::atomic<std::size_t> FCount{0};
};

UINT DeviceNamed(const std::string& name) {
  const UINT n = midiOutGetNumDevs();
  for (UINT i = 0; i < n; ++i) {
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && caps.szPname == name) {
      return i;
    }
  }
  return n;
}

}  // namespace

// Start, Stop, Continue, Stop at 300 BPM on 48 kHz (a tick every 400 frames, two or three in each
// cycle of 1024, so that one falls after every Stop in its cycle): the
// ticks fall at their own frames, one period after a Start or Continue and each one period after
// the last; a Stop ends them at once; a Continue counts on from where the Stop left the count.
TEST(JackClock, TicksAtTheirOwnFramesStopEndsThemContinueCountsOn) {
  TJackHarness jack;
  ASSERT_TRUE(jack.Start({48000, 1024, false})) << jack.Error();
  MidiOutSetBackend(nullptr);
  TRecorder recorder;
  ASSERT_TRUE(recorder.Ready());
  const UINT device = DeviceNamed(kRecorderPort);
  ASSERT_LT(device, midiOutGetNumDevs());
  HMIDIOUT h = 0;
  ASSERT_EQ(midiOutOpen(&h, device, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(MidiOutSetClock(h, 300.0), MMSYSERR_NOERROR);
  std::vector<std::uint64_t> counts;  // the port's count at each Stop
  for (const std::uint8_t run : {0xFA, 0xFB}) {
    const std::uint64_t from = MidiOutGetClock(h).Ticks;
    midiOutShortMsg(h, run);
    ASSERT_TRUE(Eventually([&] { return MidiOutGetClock(h).Ticks >= from + 24; }));
    midiOutShortMsg(h, 0xFC);
    midiOutShortMsg(h, 0x0001B0 | DWORD(run & 0x7F) << 16);
    ASSERT_TRUE(recorder.WaitForMarker(run & 0x7F));
    counts.push_back(MidiOutGetClock(h).Ticks);
  }
  midiOutClose(h);

  std::vector<std::uint64_t> ticks;  // recorded in each run
  int onGrid = 0;
  int offGrid = 0;
  std::optional<jack_nframes_t> last;  // the Start's, the Continue's or the last tick's frame
  for (const TRecorder::TEvent& e : recorder.Events()) {
    if (e.Status == 0xFA || e.Status == 0xFB) {
      ticks.push_back(0);
      last = e.Frame;
    } else if (e.Status == 0xFC) {
      last.reset();
    } else if (e.Status == 0xF8) {
      ASSERT_TRUE(last.has_value()) << "a tick after a Stop";
      ++ticks.back();
      ++(e.Frame - *last == 400 ? onGrid : offGrid);
      last = e.Frame;
    }
  }
  EXPECT_EQ(ticks, (std::vector<std::uint64_t>{counts[0], counts[1] - counts[0]}));
  // A cycle the server was late for puts its ticks off the grid: most are on it.
  EXPECT_GT(onGrid, 4 * offGrid) << offGrid << " ticks off the grid";
}
