#include <QCoreApplication>

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>
#include <poll.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchClock.h"
#include "MidiBackend.h"
#include "MidiClock.h"
#include "MidiOutService.h"
#include "SystemMidiBackend.h"

// The MIDI clock on the ALSA sequencer: ten seconds of ticks at 120 BPM into a port of this
// program, four ways: the service's clock as the program has it (the worker hands each tick to the
// port's sequencer queue a little ahead, stamped with its time); the worker's timer alone, each
// tick sent when the worker wakes for it; scheduled ahead on a sequencer queue with real-time
// stamps by a small sender of this program, so that the kernel's timer sends each (the queue's
// timer at its default rate and at its highest); and sent by a precise timer of the event loop on
// a handle without the service's clock. The receiving port
// stamps each event with the real time of a queue of its own as the kernel delivers it, so the
// receiver's own wake-ups do not count. Counters in microseconds: mean spacing, spread (largest
// less smallest), 99th percentile of the distance from the period (20833.3 us), the first tick's
// distance from the Start; ticks, and ticks after Stop.
//
// Needs a sequencer (/dev/snd/seq); without one each benchmark ends with an error. bench/
// alsa_clock_vm.sh runs it in the test VM, whose timings are an emulator's, not a machine's.

namespace {

constexpr const char* kSinkName = "bench-clock-sink";
constexpr const char* kQueueClockName = "bench-clock-queue";
// The sender's events wait in the kernel: room for a run's ticks and its Start and Stop.
constexpr std::size_t kQueuePool = 1024;
// How far after the queue's start the scheduled Start falls, so that the whole schedule is in
// the kernel before it.
constexpr auto kQueueLead = std::chrono::milliseconds(200);

double Microseconds(const snd_seq_real_time_t& t) { return t.tv_sec * 1e6 + t.tv_nsec / 1e3; }

double MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// A sequencer client with one writable port whose arrivals are stamped with the real time of the
// client's own running queue, read on a thread of its own.
class TSeqSink {
public:
  ~TSeqSink() { Close(); }

  bool Open() {
    if (snd_seq_open(&FSeq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
      FSeq = nullptr;
      return false;
    }
    snd_seq_set_client_name(FSeq, kSinkName);
    FQueue = snd_seq_alloc_named_queue(FSeq, kSinkName);
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    snd_seq_port_info_set_name(info, "in");
    snd_seq_port_info_set_capability(info, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    snd_seq_port_info_set_type(info,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_seq_port_info_set_timestamping(info, 1);
    snd_seq_port_info_set_timestamp_real(info, 1);
    snd_seq_port_info_set_timestamp_queue(info, FQueue);
    if (FQueue < 0 || snd_seq_create_port(FSeq, info) < 0 ||
        snd_seq_start_queue(FSeq, FQueue, nullptr) < 0 || snd_seq_drain_output(FSeq) < 0) {
      Close();
      return false;
    }
    FPort = snd_seq_port_info_get_port(info);
    FReader = std::thread([this] { Read(); });
    return true;
  }

  void Close() {
    FStop = true;
    if (FReader.joinable()) FReader.join();
    if (FSeq != nullptr) snd_seq_close(FSeq);
    FSeq = nullptr;
  }

  int Client() const { return snd_seq_client_id(FSeq); }
  int Port() const { return FPort; }
  bool IsOpen() const { return FSeq != nullptr; }
  // Whether every arrival so far carried the port's stamp (else the time of receipt stood in).
  bool AllStamped() const { return !FUnstamped; }

  void Clear() {
    std::lock_guard lock(FLock);
    FArrivals.clear();
  }
  std::vector<TClockArrival> Take() {
    std::lock_guard lock(FLock);
    return FArrivals;
  }

private:
  void Read() {
    std::vector<pollfd> fds(snd_seq_poll_descriptors_count(FSeq, POLLIN));
    snd_seq_poll_descriptors(FSeq, fds.data(), fds.size(), POLLIN);
    while (!FStop) {
      if (poll(fds.data(), fds.size(), 100) <= 0) continue;
      snd_seq_event_t* event = nullptr;
      while (snd_seq_event_input(FSeq, &event) >= 0 && event != nullptr) Take(*event);
    }
  }

  void Take(const snd_seq_event_t& event) {
    std::uint8_t status;
    switch (event.type) {
      case SND_SEQ_EVENT_CLOCK:
        status = kClockTick;
        break;
      case SND_SEQ_EVENT_START:
        status = kClockStart;
        break;
      case SND_SEQ_EVENT_STOP:
        status = kClockStop;
        break;
      default:
        return;
    }
    const bool stamped =
        event.queue == FQueue && (event.flags & SND_SEQ_TIME_STAMP_MASK) == SND_SEQ_TIME_STAMP_REAL;
    if (!stamped) FUnstamped = true;
    const double time = stamped ? Microseconds(event.time.time) : MonotonicMicroseconds();
    std::lock_guard lock(FLock);
    FArrivals.push_back({status, time});
  }

  snd_seq_t* FSeq = nullptr;
  int FQueue = -1;
  int FPort = -1;
  std::thread FReader;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FUnstamped{false};
  std::mutex FLock;
  std::vector<TClockArrival> FArrivals;
};

// A clock scheduled ahead on a sequencer queue: Start, the ticks at their real times (whole
// nanoseconds, the fraction carried) and Stop, all in the kernel before the Start falls due.
class TSeqQueueClock {
public:
  ~TSeqQueueClock() {
    if (FSeq != nullptr) snd_seq_close(FSeq);
  }

  // `hertz`: how often the queue's timer ticks; 0 leaves the kernel's default (1000).
  bool Open(int client, int port, unsigned hertz) {
    if (snd_seq_open(&FSeq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0) {
      FSeq = nullptr;
      return false;
    }
    snd_seq_set_client_name(FSeq, kQueueClockName);
    snd_seq_set_client_pool_output(FSeq, kQueuePool);
    FPort =
        snd_seq_create_simple_port(FSeq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    FQueue = snd_seq_alloc_named_queue(FSeq, kQueueClockName);
    if (FPort < 0 || FQueue < 0) return false;
    if (hertz > 0) {
      snd_seq_queue_timer_t* timer;
      snd_seq_queue_timer_alloca(&timer);
      if (snd_seq_get_queue_timer(FSeq, FQueue, timer) < 0) return false;
      snd_seq_queue_timer_set_resolution(timer, hertz);
      if (snd_seq_set_queue_timer(FSeq, FQueue, timer) < 0) return false;
    }
    return snd_seq_connect_to(FSeq, FPort, client, port) >= 0;
  }

  // Which of the kernel's timers drives the queue ("hrtimer", "system" or a number).
  std::string TimerName() const {
    snd_seq_queue_timer_t* timer;
    snd_seq_queue_timer_alloca(&timer);
    if (snd_seq_get_queue_timer(FSeq, FQueue, timer) < 0) return "unknown";
    // The library hands the id out const but takes it as mutable.
    auto* id = const_cast<snd_timer_id_t*>(snd_seq_queue_timer_get_id(timer));
    if (snd_timer_id_get_class(id) == SND_TIMER_CLASS_GLOBAL) {
      if (snd_timer_id_get_device(id) == SND_TIMER_GLOBAL_HRTIMER) return "hrtimer";
      if (snd_timer_id_get_device(id) == SND_TIMER_GLOBAL_SYSTEM) return "system";
    }
    return "class " + std::to_string(snd_timer_id_get_class(id)) + " device " +
           std::to_string(snd_timer_id_get_device(id));
  }

  bool Run(std::chrono::nanoseconds length) {
    if (snd_seq_start_queue(FSeq, FQueue, nullptr) < 0 || snd_seq_drain_output(FSeq) < 0) {
      return false;
    }
    TMidiClockSteps steps(1000000000, *MidiClockMilliBpm(kClockBenchBpm));
    const std::uint64_t start = std::chrono::nanoseconds(kQueueLead).count();
    const std::uint64_t stop = start + length.count();
    bool sent = Schedule(SND_SEQ_EVENT_START, start);
    for (std::uint64_t due = start + steps.Next(); due < stop; due += steps.Next()) {
      sent = sent && Schedule(SND_SEQ_EVENT_CLOCK, due);
    }
    sent = sent && Schedule(SND_SEQ_EVENT_STOP, stop) && snd_seq_drain_output(FSeq) >= 0;
    std::this_thread::sleep_for(kQueueLead + length);
    snd_seq_stop_queue(FSeq, FQueue, nullptr);
    snd_seq_drain_output(FSeq);
    return sent;
  }

private:
  bool Schedule(snd_seq_event_type_t type, std::uint64_t nanoseconds) {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = type;
    snd_seq_ev_set_fixed(&event);
    snd_seq_ev_set_source(&event, FPort);
    snd_seq_ev_set_subs(&event);
    snd_seq_real_time_t due{static_cast<unsigned>(nanoseconds / 1000000000),
                            static_cast<unsigned>(nanoseconds % 1000000000)};
    snd_seq_ev_schedule_real(&event, FQueue, 0, &due);
    return snd_seq_event_output(FSeq, &event) >= 0;
  }

  snd_seq_t* FSeq = nullptr;
  int FPort = -1;
  int FQueue = -1;
};

TSeqSink Sink;

void Report(benchmark::State& state) {
  ReportClockSpacing(state, Sink.Take(), ClockBenchPeriod(1e6), "us");
  state.counters["stamped"] = Sink.AllStamped();
}

// One ten-second run of `run` on a service handle open on the receiving port, with the service's
// clock at `clockBpm` (0: none).
template <typename TRun>
void MeasureOnAlsa(benchmark::State& state, double clockBpm, TRun run) {
  if (!Sink.IsOpen()) {
    state.SkipWithError("no sequencer");
    return;
  }
  if (!RunOnClockBenchDevice(
          state, kSinkName + std::string(":"), clockBpm, [] { Sink.Clear(); }, run)) {
    return;
  }
  Report(state);
}

void BM_ClockAlsaService(benchmark::State& state) {
  MeasureOnAlsa(state, kClockBenchBpm, [](HMIDIOUT h) { RunServiceClock(h, kClockBenchRun); });
}

// The real backend with ports that leave the ticks' timing to the worker alone.
class TWorkerTimedPort : public TMidiBackendPort {
public:
  explicit TWorkerTimedPort(std::unique_ptr<TMidiBackendPort> port) : FPort(std::move(port)) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t count) override {
    return FPort->Send(bytes, count);
  }
  bool Alive() override { return FPort->Alive(); }
  void Close() override { FPort->Close(); }

private:
  std::unique_ptr<TMidiBackendPort> FPort;
};

class TWorkerTimedBackend : public TMidiBackend {
public:
  std::vector<std::string> ListDevices() override { return FReal->ListDevices(); }
  MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                std::unique_ptr<TMidiBackendPort>& port) override {
    std::unique_ptr<TMidiBackendPort> real;
    const MMRESULT r = FReal->Open(index, name, std::move(notify), real);
    if (r == MMSYSERR_NOERROR) port = std::make_unique<TWorkerTimedPort>(std::move(real));
    return r;
  }

private:
  std::shared_ptr<TMidiBackend> FReal = MakeSystemMidiBackend();
};

void BM_ClockAlsaWorkerTimerAlone(benchmark::State& state) {
  std::shared_ptr<TMidiBackend> previous =
      MidiOutSetBackend(std::make_shared<TWorkerTimedBackend>());
  MeasureOnAlsa(state, kClockBenchBpm, [](HMIDIOUT h) { RunServiceClock(h, kClockBenchRun); });
  MidiOutSetBackend(previous);
}

void BM_ClockAlsaSequencerQueue(benchmark::State& state) {
  TSeqQueueClock clock;
  const auto hertz = static_cast<unsigned>(state.range(0));
  if (!Sink.IsOpen() || !clock.Open(Sink.Client(), Sink.Port(), hertz)) {
    state.SkipWithError("no sequencer, or the queue's sender could not be made");
    return;
  }
  state.SetLabel("queue timer: " + clock.TimerName() + ", " +
                 (hertz > 0 ? std::to_string(hertz) + " Hz" : "default rate"));
  for (auto _ : state) {
    Sink.Clear();
    if (!clock.Run(kClockBenchRun)) state.SkipWithError("the schedule did not reach the kernel");
    std::this_thread::sleep_for(kClockBenchSettle);
  }
  Report(state);
}

void BM_ClockAlsaGuiTimer(benchmark::State& state) {
  MeasureOnAlsa(state, 0, [](HMIDIOUT h) { RunTimerClock(h, kClockBenchRun); });
}

BENCHMARK(BM_ClockAlsaService)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ClockAlsaWorkerTimerAlone)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
// The queue's timer at the kernel's default of 1 kHz, and at the kernel's highest rate.
BENCHMARK(BM_ClockAlsaSequencerQueue)
    ->Arg(0)
    ->Arg(6250)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_ClockAlsaGuiTimer)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  // Set by bench/alsa_clock_vm.sh: the numbers are an emulated machine's.
  if (const char* emulated = std::getenv("HALVORINE_BENCH_EMULATED")) {
    benchmark::AddCustomContext("emulated", emulated);
  }
  Sink.Open();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Sink.Close();
  return 0;
}
