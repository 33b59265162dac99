#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "Eventually.h"
#include "MidiClock.h"
#include "MidiOutService.h"
#include "RecordingMidiBackend.h"

using halvorine_test::Eventually;

TEST(MidiClockSteps, StepsAreWholeUnitsWithTheFractionCarriedSoNothingDrifts) {
  // Units a second, thousandths of a BPM; the first steps.
  const std::tuple<std::uint64_t, std::uint32_t, std::vector<std::uint64_t>> rows[] = {
      {48000, 120000, {1000, 1000, 1000, 1000}},
      {44100, 120000, {918, 919, 919, 919, 918}},  // 918.75 frames a tick
      {48000, 127300, {942, 943, 942, 943}},       // 942.655... frames
      {1'000'000'000, 120000, {20833333, 20833333, 20833334}},
      {96000, 20000, {12000, 12000}},
      {44100, 300000, {367, 368}}};
  for (const auto& [unitsPerSecond, milliBpm, firstSteps] : rows) {
    SCOPED_TRACE(::testing::Message() << unitsPerSecond << " units/s, " << milliBpm);
    TMidiClockSteps steps(unitsPerSecond, milliBpm);
    std::vector<std::uint64_t> first;
    for (std::size_t i = 0; i < firstSteps.size(); ++i) first.push_back(steps.Next());
    EXPECT_EQ(first, firstSteps);
    // After a million ticks (some six hours at 120 BPM) the sum is still the exact floor.
    TMidiClockSteps again(unitsPerSecond, milliBpm);
    constexpr std::uint64_t kTicks = 1'000'000;
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < kTicks; ++i) sum += again.Next();
    const auto exact = static_cast<std::uint64_t>(static_cast<unsigned __int128>(kTicks) *
                                                  unitsPerSecond * 60000 / (milliBpm * 24ULL));
    EXPECT_EQ(sum, exact);
  }
  EXPECT_FALSE(TMidiClockSteps(48000, 0).Valid());
}

TEST(MidiClockTempo, TwentyToThreeHundredInThousandths) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<double, std::optional<std::uint32_t>>> rows = {
      {20.0, 20000}, {300.0, 300000}, {120.5, 120500}, {99.9994, 99999}, {19.999, {}},
      {300.001, {}}, {0.0, {}},       {-120.0, {}},    {nan, {}},        {1e300, {}},
  };
  for (const auto& [bpm, expected] : rows) EXPECT_EQ(MidiClockMilliBpm(bpm), expected) << bpm;
}

namespace {

DWORD ControlChange(int n) { return 0xB0 | (n / 128) | DWORD(n % 128) << 8 | 1u << 16; }

// A device whose clock runs at 300 BPM, from the Start it was sent unless `start` is false.
struct TClockDevice {
  TRecordingMidiService Midi{{"Alpha"}};
  HMIDIOUT H = 0;
  explicit TClockDevice(bool start = true) {
    EXPECT_EQ(midiOutOpen(&H, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(MidiOutSetClock(H, 300.0), MMSYSERR_NOERROR);
    if (start) midiOutShortMsg(H, 0xFA);
  }
  ~TClockDevice() { midiOutClose(H); }
  long Count(std::uint8_t byte) const {
    const std::vector<std::uint8_t> bytes = Midi->Bytes();
    return std::count(bytes.begin(), bytes.end(), byte);
  }
};

}  // namespace

// Devices the service cannot time ticks on themselves get them from the worker.
TEST(MidiClockOnTheWorker, StartTicksStopEndsContinueCountsOnOffStops) {
  TClockDevice device(false);
  const HMIDIOUT h = device.H;
  EXPECT_EQ(MidiOutSetClock(h, 19.0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(MidiOutSetClock(h + 1, 120.0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(MidiOutGetState(h).ClockBpm, 300.0);
  EXPECT_FALSE(MidiOutGetClock(h).Running);

  const auto ticks = [&] { return MidiOutGetClock(h).Ticks; };
  const auto stop = [&] {
    midiOutShortMsg(h, 0xFC);
    return Eventually([&] { return !MidiOutGetClock(h).Running; });
  };
  midiOutShortMsg(h, 0xFA);
  ASSERT_TRUE(Eventually([&] { return ticks() >= 4; }));
  EXPECT_TRUE(MidiOutGetClock(h).Running);
  EXPECT_TRUE(MidiOutGetState(h).ClockRunning);
  ASSERT_TRUE(stop());
  std::vector<std::uint8_t> bytes = device.Midi->Bytes();
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.front(), 0xFA);
  EXPECT_EQ(bytes.back(), 0xFC);  // no tick after the Stop
  EXPECT_EQ(device.Count(0xF8), static_cast<long>(ticks()));

  const std::uint64_t before = ticks();
  midiOutShortMsg(h, 0xFB);
  ASSERT_TRUE(Eventually([&] { return ticks() >= before + 2; }));  // counted on, not from 0
  ASSERT_TRUE(stop());
  midiOutShortMsg(h, 0xFA);  // a Start counts from 0 again
  ASSERT_TRUE(Eventually([&] { return MidiOutGetClock(h).Running && ticks() >= 2; }));
  ASSERT_TRUE(stop());
  bytes = device.Midi->Bytes();
  const auto lastStart = std::find(bytes.rbegin(), bytes.rend(), 0xFA);
  EXPECT_EQ(std::count(bytes.rbegin(), lastStart, 0xF8), static_cast<long>(ticks()));
  ASSERT_EQ(MidiOutSetClock(h, 0), MMSYSERR_NOERROR);
  ASSERT_TRUE(Eventually([&] { return !MidiOutGetClock(h).Running; }));
  const long sent = device.Count(0xF8);
  midiOutShortMsg(h, 0xFA);  // a Start without a clock is a Start alone
  midiOutShortMsg(h, 0xFC);
  bytes = device.Midi->Bytes();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 2, bytes.end()),
            (std::vector<std::uint8_t>{0xFA, 0xFC}));
  EXPECT_EQ(device.Count(0xF8), sent);
  midiOutClose(h);
  EXPECT_EQ(MidiOutGetClock(h).Bpm, 0.0);
}

// A paced wire takes ticks and control changes together at its rate: the ticks are charged like
// any byte, so that a small buffer on the wire never overflows while both go out.
TEST(MidiClockOnTheWorker, TicksAreChargedToAPacedWire) {
  MidiOutSetDeviceRate("Alpha", 1000);
  TClockDevice device;
  device.Midi->SetWire(1000, 32);
  for (int n = 0; n < 250; ++n) midiOutShortMsg(device.H, ControlChange(n));
  ASSERT_TRUE(Eventually([&] { return MidiOutGetState(device.H).Queued == 0; }));
  EXPECT_GT(device.Count(0xF8), 40);
  EXPECT_EQ(device.Midi->Refusals(), 0);
  MidiOutSetDeviceRate("Alpha", kMidiRateUnlimited);
}

// A device that leaves takes the clock with it: it is not shown running while away, and on its
// return neither the missed ticks nor a Start go out before the next message.
TEST(MidiClockOnTheWorker, ADeviceAwayGetsNoTicksAndNoBurstOrStartOnItsReturn) {
  TClockDevice device;
  ASSERT_TRUE(Eventually([&] { return MidiOutGetClock(device.H).Ticks >= 3; }));
  device.Midi->SetDevices({});
  ASSERT_TRUE(Eventually([&] { return MidiOutGetState(device.H).Link == TMidiLink::mlWaiting; }));
  EXPECT_FALSE(MidiOutGetState(device.H).ClockRunning);
  device.Midi->ClearMessages();
  device.Midi->SetDevices({"Alpha"});
  ASSERT_TRUE(Eventually([&] { return MidiOutGetState(device.H).Link == TMidiLink::mlOpen; }));
  midiOutShortMsg(device.H, ControlChange(7));
  ASSERT_TRUE(Eventually([&] { return !device.Midi->Messages().empty(); }));
  EXPECT_EQ(device.Midi->Bytes(), (std::vector<std::uint8_t>{0xB0, 7, 1}));
}
