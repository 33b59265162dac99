#include <QCoreApplication>

#include <benchmark/benchmark.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchJack.h"
#include "JackHarness.h"
#include "MidiOutService.h"

// The MIDI clock on JACK: ten seconds of ticks at 120 BPM into a port of this program on a private
// server at 48 kHz (1000 frames a tick, 256 frames a cycle), timed by the service, and the same
// clock timed by a precise timer of the event loop on a handle without the service's clock. Each
// message is placed at the frame the receiving port reads it at: the cycle's first frame
// (jack_last_frame_time) plus the event's offset in the cycle. Counters in frames: mean spacing,
// spread (largest less smallest), 99th percentile of the distance from 1000, the first tick's
// distance from the Start, ticks counted, and ticks after the Stop (there should be none).

namespace {

constexpr const char* kSinkClient = "bench-clock";
constexpr const char* kSinkPort = "bench-clock:input";
constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kPeriod = 256;
constexpr std::size_t kMaxArrivals = 4096;  // 480 ticks a run and a few other messages

// Filled on the server's process thread; read on the benchmark's thread once a run has ended.
// Cleared only while nothing is being sent to the port.
struct TArrivals {
  std::array<std::uint8_t, kMaxArrivals> Status{};
  std::array<std::uint64_t, kMaxArrivals> Frame{};
  std::atomic<std::size_t> Count{0};
};
TArrivals Arrivals;
jack_client_t* SinkClient = nullptr;
// Set once the port is made; the server may run the first cycles before that.
std::atomic<jack_port_t*> SinkPort{nullptr};

int Receive(jack_nframes_t frames, void*) {
  jack_port_t* port = SinkPort.load(std::memory_order_acquire);
  if (port == nullptr) return 0;
  void* buffer = jack_port_get_buffer(port, frames);
  const std::uint64_t cycle = jack_last_frame_time(SinkClient);
  const std::uint32_t events = jack_midi_get_event_count(buffer);
  std::size_t count = Arrivals.Count.load(std::memory_order_relaxed);
  for (std::uint32_t i = 0; i < events && count < kMaxArrivals; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
    Arrivals.Status[count] = event.buffer[0];
    Arrivals.Frame[count] = cycle + event.time;
    ++count;
  }
  Arrivals.Count.store(count, std::memory_order_release);
  return 0;
}

std::vector<TClockArrival> TakeArrivals() {
  const std::size_t count = Arrivals.Count.load(std::memory_order_acquire);
  std::vector<TClockArrival> taken;
  for (std::size_t i = 0; i < count; ++i) {
    taken.push_back({Arrivals.Status[i], static_cast<double>(Arrivals.Frame[i])});
  }
  return taken;
}

// One ten-second run of `run` on a handle open on the receiving port, with the service's clock
// at `clockBpm` (0: none), reported in frames.
template <typename TRun>
void MeasureOnJack(benchmark::State& state, double clockBpm, TRun run) {
  const auto clear = [] { Arrivals.Count.store(0, std::memory_order_release); };
  if (!RunOnClockBenchDevice(state, kSinkPort, clockBpm, clear, run)) return;
  ReportClockSpacing(state, TakeArrivals(), ClockBenchPeriod(kRate), "frames");
  state.counters["period_frames"] = kPeriod;
}

void BM_ClockJackService(benchmark::State& state) {
  MeasureOnJack(state, kClockBenchBpm, [](HMIDIOUT h) { RunServiceClock(h, kClockBenchRun); });
}

void BM_ClockJackGuiTimer(benchmark::State& state) {
  MeasureOnJack(state, 0, [](HMIDIOUT h) { RunTimerClock(h, kClockBenchRun); });
}

BENCHMARK(BM_ClockJackService)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ClockJackGuiTimer)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  TJackHarness jack;
  TJackHarness::TOptions options;
  options.Rate = kRate;
  options.Period = kPeriod;
  options.StartDump = false;
  if (!jack.Start(options)) {
    std::fprintf(stderr, "bench_midi_clock: %s\n", jack.Error().c_str());
    return 1;
  }
  SinkPort = OpenMeasuringPort(kSinkClient, "input", JackPortIsInput, &Receive, SinkClient);
  if (SinkPort.load() == nullptr) {
    std::fprintf(stderr, "bench_midi_clock: cannot make the receiving port\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  jack_client_close(SinkClient);
  jack.Stop();
  return 0;
}
