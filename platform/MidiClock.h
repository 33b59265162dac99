#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

// MIDI clock: 24 ticks (0xF8) a quarter note while the transport runs.

constexpr std::uint32_t kMidiClockTicksPerQuarter = 24;
constexpr double kMidiClockMinBpm = 20.0;
constexpr double kMidiClockMaxBpm = 300.0;

// A tempo in thousandths of a beat a minute, the unit the clock counts in; nothing for a tempo
// outside kMidiClockMinBpm..kMidiClockMaxBpm (or not a number).
std::optional<std::uint32_t> MidiClockMilliBpm(double bpm);

// The spacing of clock ticks in whole units of a time base (frames of an audio server, or
// nanoseconds). A tick period is seldom a whole number of units (44.1 kHz at 120 BPM: 918.75
// frames), so each step is the whole part and the fraction is carried into the next: tick n falls
// exactly at floor(n * period) after the first, however long the clock runs.
class TMidiClockSteps {
public:
  TMidiClockSteps() = default;
  TMidiClockSteps(std::uint64_t unitsPerSecond, std::uint32_t milliBpm);

  // Units from the last tick to the next one; each call moves on by one tick.
  std::uint64_t Next() {
    std::uint64_t step = FWhole;
    FCarried += FFraction;
    if (FCarried >= FDivisor) {
      FCarried -= FDivisor;
      ++step;
    }
    return step;
  }
  bool Valid() const { return FDivisor != 0; }

private:
  std::uint64_t FWhole = 0;     // whole units of one period
  std::uint64_t FFraction = 0;  // the rest of a period, in 1/FDivisor units
  std::uint64_t FDivisor = 0;
  std::uint64_t FCarried = 0;
};

// The clock of one output handle, shared by the service, which sets the tempo, and whatever times
// the ticks (the port itself, or the service's worker), which counts them.
struct TMidiClockState {
  TMidiClockState();
  ~TMidiClockState();
  TMidiClockState(const TMidiClockState&) = delete;
  TMidiClockState& operator=(const TMidiClockState&) = delete;

  std::atomic<std::uint32_t> MilliBpm{0};  // 0: no clock
  std::atomic<bool> Running{false};        // between a Start or Continue and a Stop
  std::atomic<std::uint64_t> Ticks{0};     // sent since the last Start; a Continue counts on

  // Called by whatever times the ticks once ticks have gone out, or Running has changed: makes
  // WakeFd() readable. Safe on a real-time thread: one write to an eventfd, which never blocks.
  // Called at most once for each cycle of the timer that sent a tick.
  void Wake() const;
  // An eventfd that is readable from the first Wake() after it was last read; -1 when none could
  // be made. Owned by the state: duplicate it to keep it beyond the state.
  int WakeFd() const { return FWakeFd; }

private:
  int FWakeFd = -1;
};
