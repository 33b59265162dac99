#include "MidiClock.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cmath>

std::optional<std::uint32_t> MidiClockMilliBpm(double bpm) {
  if (!(bpm >= kMidiClockMinBpm && bpm <= kMidiClockMaxBpm)) return std::nullopt;
  return static_cast<std::uint32_t>(std::llround(bpm * 1000.0));
}

// One period is unitsPerSecond * 60 / (bpm * 24) units; with the tempo in thousandths that is
// (unitsPerSecond * 60000) / (milliBpm * 24), kept as a whole part and a fraction.
TMidiClockSteps::TMidiClockSteps(std::uint64_t unitsPerSecond, std::uint32_t milliBpm) {
  if (milliBpm == 0 || unitsPerSecond == 0) return;
  const std::uint64_t dividend = unitsPerSecond * 60000;
  FDivisor = std::uint64_t{milliBpm} * kMidiClockTicksPerQuarter;
  FWhole = dividend / FDivisor;
  FFraction = dividend % FDivisor;
}

TMidiClockState::TMidiClockState() : FWakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TMidiClockState::~TMidiClockState() {
  if (FWakeFd >= 0) close(FWakeFd);
}

// A counter that would overflow refuses the write (EAGAIN): the reader has a wake pending anyway.
void TMidiClockState::Wake() const {
  if (FWakeFd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(FWakeFd, &one, sizeof one);
}
