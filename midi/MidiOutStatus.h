#pragma once

#include <QString>

#include <string>

#include "MidiOutService.h"

// What the panel shows of its MIDI port: the link of the port's handle and the last error that the
// port reported (a failed Open's code, or a Close's error text).
struct TMidiOutStatus {
  TMidiOutState State;
  int ErrorCode = 0;      // 0: no error reported
  std::string ErrorText;  // a Close error's text; empty for an Open's code alone
};

// A short text naming a result code of the port or the service ("device already in use").
QString MidiOutErrorName(int code);

// A tempo as the panel shows it, to two decimals at most: "120 BPM", "97.5 BPM".
QString ClockTempoText(double bpm);

// The status line: "MIDI closed", "MIDI open on NAME", "MIDI waiting for NAME to return", with the
// queue's backlog, what was dropped (over the queue's limit or by a close, and Start, Stop and
// Continue that came too late), the clock's tempo while its ticks go out (" · clock 120 BPM") and
// the last error after it.
QString MidiOutStatusText(const TMidiOutStatus& status);
