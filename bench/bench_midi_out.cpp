#include <benchmark/benchmark.h>

#include <RtMidi.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "JackHarness.h"
#include "MidiOut.h"
#include "MidiOutService.h"

// One control change through the port and the service against a bare RtMidi send to the same
// JACK port, on a private JACK server that this program starts and stops itself. The receiving
// port belongs to a client of this program that takes the events and does nothing with them, so
// that no printing client competes for the processor.
//
// RtMidi hands JACK messages over through a 16 KiB ring that the server empties once a cycle; a
// send into a full ring waits for the next cycle. Both benchmarks therefore send in batches that
// fit the ring and let the server empty it, untimed, between batches: what is measured is the
// cost of a send, not the server's cycle.

namespace {

constexpr const char* kSinkClient = "bench-sink";
constexpr const char* kSinkPort = "bench-sink:input";
constexpr int kBatch = 1000;  // 7 KB queued, well inside the ring
// Some twenty cycles of 64 frames at 48 kHz: enough for a loaded machine's server to empty the
// ring and for the port to see that it has.
constexpr auto kDrain = std::chrono::milliseconds(30);
int DumpDevice = -1;

void DrainBetweenBatches(benchmark::State& state, int& sent) {
  if (++sent % kBatch != 0) return;
  state.PauseTiming();
  std::this_thread::sleep_for(kDrain);
  state.ResumeTiming();
}

void QuietRtMidi(RtMidiError::Type, const std::string&, void*) {}

}  // namespace

static void BM_BareRtMidiSendMessage(benchmark::State& state) {
  RtMidiOut out(RtMidi::UNIX_JACK, "bench-bare");
  out.setErrorCallback(&QuietRtMidi, nullptr);
  unsigned number = 0;
  const unsigned count = out.getPortCount();
  while (number < count && out.getPortName(number) != kSinkPort) ++number;
  if (number == count) {
    state.SkipWithError("the dump's port is not listed");
    return;
  }
  out.openPort(number, "out");
  unsigned char message[3] = {0xB0, 16, 0};
  int sent = 0;
  for (auto _ : state) {
    message[2] = static_cast<unsigned char>(sent & 0x7F);
    out.sendMessage(message, 3);
    DrainBetweenBatches(state, sent);
  }
  std::this_thread::sleep_for(kDrain);
  // RtMidi frees its ring while its JACK callback may still be reading it: let a cycle pass.
  out.closePort();
  std::this_thread::sleep_for(kDrain);
}

static void BM_TMidiOutSendControlChange(benchmark::State& state) {
  TMidiOut port;
  port.SetDeviceID(DumpDevice);
  if (!port.Open()) {
    state.SkipWithError("the port did not open");
    return;
  }
  int sent = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(port.SendControlChange(0, 16, static_cast<std::uint8_t>(sent & 0x7F)));
    DrainBetweenBatches(state, sent);
  }
  std::this_thread::sleep_for(kDrain);
  port.Close();
}

BENCHMARK(BM_BareRtMidiSendMessage)->Iterations(100000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_TMidiOutSendControlChange)->Iterations(100000)->Unit(benchmark::kNanosecond);

int main(int argc, char** argv) {
  // Unless told otherwise: many runs of each, interleaved at random, reported as aggregates, so
  // that the two medians see the same load of the machine.
  std::vector<char*> args{argv[0]};
  std::string defaults[] = {"--benchmark_repetitions=15",
                            "--benchmark_enable_random_interleaving=true",
                            "--benchmark_report_aggregates_only=true"};
  for (std::string& d : defaults) args.push_back(d.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());

  TJackHarness jack;
  TJackHarness::TOptions options;
  options.Period = 64;
  options.StartDump = false;
  if (!jack.Start(options)) {
    std::fprintf(stderr, "bench_midi_out: %s\n", jack.Error().c_str());
    return 1;
  }
  jack_client_t* sink = jack_client_open(kSinkClient, JackNoStartServer, nullptr);
  if (sink == nullptr ||
      jack_port_register(sink, "input", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0) == nullptr ||
      jack_activate(sink) != 0) {
    std::fprintf(stderr, "bench_midi_out: cannot make the receiving port\n");
    return 1;
  }
  const UINT n = midiOutGetNumDevs();
  for (UINT i = 0; i < n; ++i) {
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
        std::strcmp(caps.szPname, kSinkPort) == 0) {
      DumpDevice = static_cast<int>(i);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  jack_client_close(sink);
  jack.Stop();
  return 0;
}
