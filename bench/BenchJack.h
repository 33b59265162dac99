#pragma once

#include <benchmark/benchmark.h>
#include <jack/jack.h>

#include <algorithm>
#include <vector>

#include "JackHarness.h"

// A JACK client of the benchmark's own with one MIDI port served by `process`, on the running
// server. Returns the port, or nullptr (and the client, if any, closed) when it cannot be made.
inline jack_port_t* OpenMeasuringPort(const char* client, const char* port, unsigned long flags,
                                      JackProcessCallback process, jack_client_t*& opened) {
  opened = jack_client_open(client, JackNoStartServer, nullptr);
  if (opened == nullptr) return nullptr;
  jack_port_t* made = jack_port_register(opened, port, JACK_DEFAULT_MIDI_TYPE, flags, 0);
  if (made == nullptr || jack_set_process_callback(opened, process, nullptr) != 0 ||
      jack_activate(opened) != 0) {
    jack_client_close(opened);
    opened = nullptr;
    return nullptr;
  }
  return made;
}

// The median and 99th percentile of latencies in milliseconds, the server's period, and how many
// of the tries arrived, as the benchmark's counters.
inline void ReportLatencies(benchmark::State& state, std::vector<double> ms,
                            const TJackHarness::TOptions& options, const char* arrivedName) {
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[ms.size() * 99 / 100];
  }
  state.counters["period_ms"] = 1000.0 * options.Period / options.Rate;
  state.counters[arrivedName] = static_cast<double>(ms.size());
}
