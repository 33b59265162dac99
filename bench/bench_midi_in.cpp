// The window's thread's cost of one control change received from the instrument: taken from the
// input's ring, mapped to its sound and parameter, the knob moved and its box cleared, recorded
// in the run's undo step. Offscreen, over the recording MIDI backend, with every parameter ticked
// at the start and the changes spread over all 24 knobs of the shown sound. And the latency from
// a JACK client's output port to the knob's new value, on a private JACK server. And how often the
// program's threads wake up while it sits idle with its output open and an input chosen.

#include <benchmark/benchmark.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "JackHarness.h"
#include "SkinKnob.h"

#include "BenchJack.h"
#include "BenchPanel.h"
#include "Eventually.h"
#include "MainForm.h"
#include "RecordingMidiBackend.h"

namespace {

void BM_ReceivedChange(benchmark::State& state) {
  TRecordingMidiService midi;
  midi->SetInputs({"Bench In"});
  {
    TMainForm form;
    ShowOpenAllTicked(form);
    if (!form.SelectInputByName("Bench In")) qFatal("the input did not open");
    const int batch = static_cast<int>(state.range(0));
    int i = 0;
    for (auto _ : state) {
      state.PauseTiming();
      for (int k = 0; k < batch; ++k, ++i) {
        midi->Play("Bench In", {0xB0, static_cast<std::uint8_t>(16 + i % 24),
                                static_cast<std::uint8_t>((i / 24) % 128)});
      }
      state.ResumeTiming();
      form.ReceiveInput();
    }
    state.SetItemsProcessed(state.iterations() * batch);
    form.MidiIn().Close();
  }
}
// One change at a time, and the batch a storm of 1,000 a second leaves between two turns of a
// busy event loop.
BENCHMARK(BM_ReceivedChange)->Arg(1)->Arg(16)->Unit(benchmark::kMicrosecond);

// From the moment a JACK client's process callback writes a control change into its output port
// until the first parameter knob shows the value, the window's thread turning its event loop. The
// server hands the message on in its next cycle, so up to two periods (256 frames at 48 kHz here)
// are the server's. Counters in milliseconds: the median, the 99th percentile and the period.
using TClock = std::chrono::steady_clock;
std::atomic<int> SourceValue{-1};  // the value to send in the next cycle; -1: none
std::atomic<std::int64_t> SourceWritten{0};
jack_port_t* SourcePort = nullptr;

int SourceProcess(jack_nframes_t frames, void*) {
  void* buffer = jack_port_get_buffer(SourcePort, frames);
  jack_midi_clear_buffer(buffer);
  const int value = SourceValue.exchange(-1, std::memory_order_acq_rel);
  if (value >= 0) {
    const unsigned char message[3] = {0xB0, 16, static_cast<unsigned char>(value)};
    SourceWritten.store(TClock::now().time_since_epoch().count(), std::memory_order_release);
    jack_midi_event_write(buffer, 0, message, 3);
  }
  return 0;
}

void BM_InputPortToKnobLatency(benchmark::State& state) {
  TJackHarness jack;
  TJackHarness::TOptions options;
  options.StartDump = false;
  if (!jack.Start(options)) {
    state.SkipWithError(jack.Error().c_str());
    return;
  }
  jack_client_t* source = nullptr;
  SourcePort =
      OpenMeasuringPort("bench-source", "output", JackPortIsOutput, &SourceProcess, source);
  if (SourcePort == nullptr) {
    state.SkipWithError("cannot make the sending port");
    return;
  }
  MidiOutSetBackend(nullptr);
  std::vector<double> ms;
  {
    TMainForm form;
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) qFatal("the window was not shown");
    if (!form.SelectInputByName("bench-source:output")) {
      state.SkipWithError("the input did not open");
      return;
    }
    TSkinKnob* knob = form.findChild<TSkinKnob*>("ParKnob1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the connection is made
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause(0, 6000);
    int value = 0;
    for (auto _ : state) {
      for (int i = 0; i < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        value = value == 1 ? 2 : 1;
        SourceValue.store(value, std::memory_order_release);
        const TClock::time_point start = TClock::now();
        while (knob->GetPosition() != value && TClock::now() - start < std::chrono::seconds(1)) {
          QCoreApplication::processEvents();
        }
        if (knob->GetPosition() != value) continue;
        const TClock::time_point written{
            TClock::duration(SourceWritten.load(std::memory_order_acquire))};
        ms.push_back(std::chrono::duration<double, std::milli>(TClock::now() - written).count());
      }
    }
    form.MidiIn().Close();
  }
  ReportLatencies(state, std::move(ms), options, "changes_arrived");
  jack_client_close(source);
  MidiOutFlushNotifications();
  jack.Stop();
}
BENCHMARK(BM_InputPortToKnobLatency)->Iterations(1)->Unit(benchmark::kSecond);

// Context switches of all the process's threads so far, voluntary and not: every time a thread
// went to sleep or was put aside, which is every time it had woken up.
std::uint64_t ContextSwitches() {
  std::uint64_t total = 0;
  for (const QString& task :
       QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
    if (!status.open(QIODevice::ReadOnly)) continue;
    for (const QByteArray& line : status.readAll().split('\n')) {
      if (line.startsWith("voluntary_ctxt_switches:") ||
          line.startsWith("nonvoluntary_ctxt_switches:")) {
        total += line.mid(line.indexOf(':') + 1).trimmed().toULongLong();
      }
    }
  }
  return total;
}

// The panel with its output open on the dump and its input following a source of another process,
// on a server at 48 kHz and 256 frames (187.5 cycles a second), left alone for ten seconds while
// its event loop runs: the wake-ups of all its threads a second. The program's one JACK client
// wakes once a cycle; the worker, the window's status line and the rest add a few.
void BM_IdleWakeUps(benchmark::State& state) {
  TJackHarness jack;
  TJackHarness::TOptions options;
  if (!jack.Start(options)) {
    state.SkipWithError(jack.Error().c_str());
    return;
  }
  // The source is another process, so that its own threads are not counted: an instrument that
  // plays what it reads, and reads nothing until its pipe closes.
  int pipe[2];
  if (::pipe(pipe) != 0) return state.SkipWithError("no pipe");
  const pid_t source = fork();
  if (source == 0) {
    dup2(pipe[0], 0);
    close(pipe[1]);
    execl(HALVORINE_JACK_SEND, HALVORINE_JACK_SEND, "bench-source", nullptr);
    _exit(127);
  }
  close(pipe[0]);
  MidiOutSetBackend(nullptr);
  double perSecond = 0;
  std::size_t threads = 0;
  {
    TMainForm form;
    ShowOpenAllTicked(form);
    if (!halvorine_test::Eventually([&] { return form.SelectInputByName("bench-source:out"); })) {
      state.SkipWithError("the input did not open");
    }
    if (!halvorine_test::Eventually([&] { return form.MidiOut().IsOpen(); })) {
      state.SkipWithError("the output did not open");
    }
    for (auto _ : state) {
      // Whatever the opening started has settled.
      QTest::qWait(1000);
      const std::uint64_t before = ContextSwitches();
      const auto start = std::chrono::steady_clock::now();
      QEventLoop loop;
      QTimer::singleShot(10000, &loop, &QEventLoop::quit);
      loop.exec();
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      perSecond = static_cast<double>(ContextSwitches() - before) / seconds;
      threads = QDir(QStringLiteral("/proc/self/task"))
                    .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                    .size();
    }
    form.MidiIn().Close();
  }
  close(pipe[1]);
  waitpid(source, nullptr, 0);
  MidiOutFlushNotifications();
  jack.Stop();
  state.counters["wakeups_per_s"] = perSecond;
  state.counters["cycles_per_s"] = static_cast<double>(options.Rate) / options.Period;
  state.counters["threads"] = static_cast<double>(threads);
}
BENCHMARK(BM_IdleWakeUps)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
