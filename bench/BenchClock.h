#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MidiClock.h"
#include "MidiOutService.h"

// What the MIDI clock benchmarks share: a handle opened on a receiving port of the benchmark, the
// two ways of running a clock on it (the service's own, and a timer of the caller's event loop),
// and the spacing of the ticks that arrived, as counters.

constexpr double kClockBenchBpm = 120.0;
constexpr auto kClockBenchRun = std::chrono::seconds(10);
// Long enough after a Stop for the last messages to arrive and for a stray tick to show.
constexpr auto kClockBenchSettle = std::chrono::milliseconds(300);
constexpr std::uint8_t kClockTick = 0xF8;
constexpr std::uint8_t kClockStart = 0xFA;
constexpr std::uint8_t kClockStop = 0xFC;

// The tick period at kClockBenchBpm in units of a time base that counts `unitsPerSecond`.
inline double ClockBenchPeriod(double unitsPerSecond) {
  return unitsPerSecond * 60.0 / (kClockBenchBpm * kMidiClockTicksPerQuarter);
}

// An open handle on the first device whose full name starts with `prefix`; 0 when there is none
// or it is not open within the service's answer wait. A device closed a moment ago may still be
// held: the open is tried again until the wait is over.
inline HMIDIOUT OpenClockBenchDevice(const std::string& prefix) {
  using TClock = std::chrono::steady_clock;
  const TClock::time_point end = TClock::now() + std::chrono::milliseconds(kMidiOutAnswerWaitMs);
  const UINT n = midiOutGetNumDevs();
  UINT device = n;
  for (UINT i = 0; i < n && device == n; ++i) {
    std::string name;
    if (MidiOutGetDeviceName(i, name) == MMSYSERR_NOERROR && name.starts_with(prefix)) device = i;
  }
  if (device == n) return 0;
  HMIDIOUT handle = 0;
  MMRESULT result;
  while ((result = midiOutOpen(&handle, device, nullptr, 0, CALLBACK_NULL)) == MMSYSERR_ALLOCATED &&
         TClock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (result != MMSYSERR_NOERROR) return 0;
  while (MidiOutGetState(handle).Link != TMidiLink::mlOpen) {
    if (TClock::now() > end) {
      midiOutClose(handle);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return handle;
}

// Ten-second runs of `run(handle)` on a handle open on the device named after `prefix`, with the
// service's clock at `clockBpm` (0: none); `clear` empties the receiver's record before each.
// False, with the benchmark's error set, when the handle did not open or took no clock.
template <typename TClear, typename TRun>
bool RunOnClockBenchDevice(benchmark::State& state, const std::string& prefix, double clockBpm,
                           TClear clear, TRun run) {
  const HMIDIOUT handle = OpenClockBenchDevice(prefix);
  if (handle == 0) {
    state.SkipWithError("the receiving port did not open");
    return false;
  }
  if (clockBpm > 0 && MidiOutSetClock(handle, clockBpm) != MMSYSERR_NOERROR) {
    state.SkipWithError("the service refused the clock");
    midiOutClose(handle);
    return false;
  }
  std::this_thread::sleep_for(kClockBenchSettle);
  for (auto _ : state) {
    clear();
    run(handle);
    std::this_thread::sleep_for(kClockBenchSettle);
  }
  midiOutClose(handle);
  return true;
}

// The service's clock: Start, `length` of ticks that the service times, Stop.
inline void RunServiceClock(HMIDIOUT handle, std::chrono::nanoseconds length) {
  midiOutShortMsg(handle, kClockStart);
  std::this_thread::sleep_for(length);
  midiOutShortMsg(handle, kClockStop);
}

// A clock as a program without the service's would run it on its window's thread: Start, then a
// precise timer of the event loop that sends each tick and is armed again for the next one, and
// Stop once `length` has passed: the ticks due before then, as many as the service sends. A timer
// takes whole milliseconds and the period is seldom one (20.833 ms at 120 BPM), so each tick's due
// time is kept in nanoseconds with the fraction carried, and the timer is armed for the nearest
// millisecond to it: the mean spacing is right, and what remains is the timer's rounding and the
// lateness of the event loop and of the worker behind it.
inline void RunTimerClock(HMIDIOUT handle, std::chrono::nanoseconds length) {
  using TClock = std::chrono::steady_clock;
  TMidiClockSteps steps(1000000000, *MidiClockMilliBpm(kClockBenchBpm));
  QEventLoop loop;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  const TClock::time_point start = TClock::now();
  const TClock::time_point end = start + length;
  TClock::time_point due = start + std::chrono::nanoseconds(steps.Next());
  const auto arm = [&] {
    const auto wait =
        std::chrono::round<std::chrono::milliseconds>(std::min(due, end) - TClock::now());
    timer.start(std::max(wait, std::chrono::milliseconds(0)));
  };
  // Armed for a tick while one is due before the end, then for the end.
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (due >= end) {
      loop.quit();
      return;
    }
    midiOutShortMsg(handle, kClockTick);
    due += std::chrono::nanoseconds(steps.Next());
    arm();
  });
  midiOutShortMsg(handle, kClockStart);
  arm();
  loop.exec();
  midiOutShortMsg(handle, kClockStop);
}

// One received message: its status byte and when it came, in the receiver's units.
struct TClockArrival {
  std::uint8_t Status;
  double Time;
};

// The spacing of the ticks between the first Start and the Stop after it, as counters named
// "<what>_<unit>": mean, spread (largest spacing less smallest), 99th percentile of the distance
// from the nominal period, and the first tick's distance from the Start; with the number of
// ticks and of ticks that came after the Stop. An error when there is no Start or too few ticks.
inline void ReportClockSpacing(benchmark::State& state, const std::vector<TClockArrival>& arrivals,
                               double period, const std::string& unit) {
  std::optional<double> start, stop;
  std::vector<double> ticks;
  int afterStop = 0;
  for (const TClockArrival& a : arrivals) {
    if (a.Status == kClockStart && !start) start = a.Time;
    if (!start) continue;
    if (a.Status == kClockStop && !stop) stop = a.Time;
    if (a.Status != kClockTick) continue;
    if (stop) {
      ++afterStop;
    } else {
      ticks.push_back(a.Time);
    }
  }
  state.counters["ticks"] = static_cast<double>(ticks.size());
  state.counters["ticks_after_stop"] = afterStop;
  if (!start || ticks.size() < 3) {
    state.SkipWithError("no Start, or fewer than three ticks after it");
    return;
  }
  std::vector<double> spacing, error;
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    spacing.push_back(ticks[i] - ticks[i - 1]);
    error.push_back(std::abs(spacing.back() - period));
  }
  std::sort(error.begin(), error.end());
  const auto [least, most] = std::minmax_element(spacing.begin(), spacing.end());
  state.counters["mean_" + unit] = (ticks.back() - ticks.front()) / (ticks.size() - 1);
  state.counters["spread_" + unit] = *most - *least;
  state.counters["p99_err_" + unit] = error[error.size() * 99 / 100];
  state.counters["first_" + unit] = ticks.front() - *start;
}
