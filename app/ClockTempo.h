#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "MidiClock.h"

// Tap tempo: the tempo of a key tapped in time, 60 / the mean interval of the last taps. A gap of
// more than kResetMs starts the count over; the mean is taken over the last kTaps taps, so a
// steady hand settles in a few beats and a change of tempo is followed as quickly.
class TTapTempo {
public:
  static constexpr std::int64_t kResetMs = 2000;
  static constexpr std::size_t kTaps = 8;

  // A tap at `ms` on a steady clock. From the second tap of a count on: the tempo, to hundredths
  // of a beat, held to kMidiClockMinBpm..kMidiClockMaxBpm.
  std::optional<double> Tap(std::int64_t ms) {
    if (!FTaps.empty() && (ms - FTaps.back() > kResetMs || ms < FTaps.back())) FTaps.clear();
    FTaps.push_back(ms);
    if (FTaps.size() > kTaps) FTaps.pop_front();
    if (FTaps.size() < 2) return std::nullopt;
    const double mean =
        static_cast<double>(FTaps.back() - FTaps.front()) / static_cast<double>(FTaps.size() - 1);
    const double bpm = 60000.0 / std::max(mean, 1.0);
    return std::round(std::clamp(bpm, kMidiClockMinBpm, kMidiClockMaxBpm) * 100.0) / 100.0;
  }

private:
  std::deque<std::int64_t> FTaps;
};

// One bar of four quarter notes in clock ticks.
constexpr std::uint64_t kMidiClockTicksPerBar = 4 * kMidiClockTicksPerQuarter;

// Where a sweep from `from` to `to` over `total` ticks stands after `elapsed` of them: the
// straight line between the two, rounded to a whole position, and `to` from `total` on.
inline int SweepPosition(int from, int to, std::uint64_t elapsed, std::uint64_t total) {
  if (total == 0 || elapsed >= total) return to;
  const double done = static_cast<double>(elapsed) / static_cast<double>(total);
  return from + static_cast<int>(std::lround((to - from) * done));
}
