// A musician's fast drag on a DIN MIDI wire: ten seconds of mix-knob moves at 1 kHz with all 24
// parameters ticked, on a simulated wire of 3,125 bytes a second whose 4 KB buffer refuses what
// does not fit. Once through the service's paced queue, once straight to the wire from the
// caller's thread, a refused message lost. Counters: how many of the 24 final values on the wire
// differ from the panel's, and the time from the last move until the wire holds the final state.
//
// Also the GUI thread's own cost of one such move, the start of the main window to its first paint
// over the real backend, with a JACK server running and without one, in the same run, and the
// time from a wheel notch on a knob to the control change reaching a JACK port.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QWheelEvent>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "BenchJack.h"
#include "BenchPanel.h"
#include "JackHarness.h"
#include "MainForm.h"
#include "MidiBackend.h"
#include "MidiOut.h"
#include "RecordingMidiBackend.h"
#include "SkinKnob.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kMoves = 10000;  // ten seconds at 1 kHz
constexpr int kParameters = 24;
constexpr std::size_t kWireBuffer = 4096;

// What the mix blend gives parameter p at move m: every value changes on every move.
std::uint8_t Value(int move, int p) { return static_cast<std::uint8_t>((move * 5 + p * 11) % 128); }

// Sends the moves through `send` at 1 kHz; returns the time of the last move.
template <typename TSend>
TClock::time_point Drag(TSend send, std::array<std::uint8_t, kParameters>& panel) {
  const TClock::time_point start = TClock::now();
  for (int m = 0; m < kMoves; ++m) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(m));
    for (int p = 0; p < kParameters; ++p) {
      panel[p] = Value(m, p);
      send(static_cast<std::uint8_t>(16 + p), panel[p]);
    }
  }
  return TClock::now();
}

void Report(benchmark::State& state, const TRecordingMidiBackend& wire,
            const std::array<std::uint8_t, kParameters>& panel, TClock::time_point lastMove) {
  const std::vector<TRecordedMessage> messages = wire.Messages();
  const std::vector<TClock::time_point> times = wire.WireTimes();
  std::map<int, std::pair<int, TClock::time_point>> last;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    last[messages[i].Bytes[1]] = {messages[i].Bytes[2], times[i]};
  }
  int differing = 0;
  TClock::time_point settled = lastMove;
  for (int p = 0; p < kParameters; ++p) {
    const auto found = last.find(16 + p);
    if (found == last.end() || found->second.first != panel[p]) {
      ++differing;
    } else {
      settled = std::max(settled, found->second.second);
    }
  }
  state.counters["values_differing"] = differing;
  state.counters["ms_last_move_to_final_state"] =
      std::chrono::duration<double, std::milli>(settled - lastMove).count();
  state.counters["refused"] = wire.Refusals();
  state.counters["messages_on_wire"] = static_cast<double>(messages.size());
}

void BM_DinWireThroughTheQueue(benchmark::State& state) {
  for (auto _ : state) {
    TRecordingMidiService midi({"Wire"});
    midi->SetWire(kMidiDinRate, kWireBuffer);
    MidiOutSetDeviceRate("Wire", kMidiDinRate);
    std::array<std::uint8_t, kParameters> panel{};
    TClock::time_point lastMove;
    {
      TMidiOut port;
      port.SetDeviceID(0);
      if (!port.Open()) state.SkipWithError("the wire did not open");
      lastMove =
          Drag([&](std::uint8_t cc, std::uint8_t v) { port.SendControlChange(0, cc, v); }, panel);
      while (port.IsBusy()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      port.Close();
    }
    Report(state, midi.Backend(), panel, lastMove);
    MidiOutSetDeviceRate("Wire", kMidiRateUnlimited);
  }
}
BENCHMARK(BM_DinWireThroughTheQueue)->Iterations(1)->Unit(benchmark::kSecond);

// The same drag sent as it was before the queue: each message straight to the device from the
// caller's thread, a refusal losing it.
void BM_DinWireStraightBaseline(benchmark::State& state) {
  for (auto _ : state) {
    TRecordingMidiBackend wire({"Wire"});
    wire.SetWire(kMidiDinRate, kWireBuffer);
    wire.ListDevices();
    std::unique_ptr<TMidiBackendPort> port;
    if (wire.Open(
            0, "Wire", [](UINT) {}, port) != MMSYSERR_NOERROR) {
      state.SkipWithError("the wire did not open");
    }
    std::array<std::uint8_t, kParameters> panel{};
    const TClock::time_point lastMove = Drag(
        [&](std::uint8_t cc, std::uint8_t v) {
          const std::uint8_t bytes[3] = {0xB0, cc, v};
          port->Send(bytes, 3);
        },
        panel);
    Report(state, wire, panel, lastMove);
    port->Close();
  }
}
BENCHMARK(BM_DinWireStraightBaseline)->Iterations(1)->Unit(benchmark::kSecond);

// Start to first paint over the real backend; the argument says whether a JACK server runs.
void BM_StartUpToFirstPaintRealBackend(benchmark::State& state) {
  TJackHarness jack;
  if (state.range(0) != 0 && !jack.Start()) {
    state.SkipWithError(jack.Error().c_str());
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    MidiOutSetBackend(nullptr);  // a fresh backend: nothing of the last round is reused
    state.ResumeTiming();
    bool painted = false;
    TMainForm form;
    struct TWatch : QObject {
      bool* Painted;
      bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) *Painted = true;
        return false;
      }
    } watch;
    watch.Painted = &painted;
    form.installEventFilter(&watch);
    form.show();
    while (!painted) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    state.PauseTiming();
    form.close();
    MidiOutFlushNotifications();
    state.ResumeTiming();
  }
  MidiOutSetBackend(nullptr);
  MidiOutFlushNotifications();
  jack.Stop();
}
BENCHMARK(BM_StartUpToFirstPaintRealBackend)
    ->Arg(0)
    ->Arg(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// One move of the mix knob with every parameter ticked, timed by the GUI thread's own processor
// time, so that the MIDI service's threads and the rest of the machine do not count.
void BM_MixMoveGuiThreadCpu(benchmark::State& state) {
  TRecordingMidiService midi;
  TMainForm form;
  ShowOpenAllTicked(form);
  TSkinKnob* mix = form.findChild<TSkinKnob*>("MixKnob");
  const QPoint at = mix->geometry().center();
  QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, at);
  int i = 0;
  const auto threadSeconds = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  for (auto _ : state) {
    const double start = threadSeconds();
    QTest::mouseMove(form.windowHandle(), at + QPoint(0, (i++ & 1) ? 0 : -40));
    state.SetIterationTime(threadSeconds() - start);
    if ((i & 1023) == 0) midi->ClearMessages();
  }
  QTest::mouseRelease(form.windowHandle(), Qt::LeftButton, {}, at);
}
BENCHMARK(BM_MixMoveGuiThreadCpu)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Knob to wire: a wheel notch on a parameter knob of the panel, offscreen, whose port is open on a
// JACK port of this program, until the server's cycle hands the control change to that port. A
// message sent at a random moment waits for the next cycle, so the floor is up to one period
// (256 frames at 48 kHz here); the notches come at random moments. Counters in milliseconds: the
// median and the 99th percentile, and the period.
std::atomic<std::int64_t> SinkArrival{0};  // the steady clock when the last event came
std::atomic<int> SinkEvents{0};
jack_port_t* SinkPort = nullptr;

int SinkProcess(jack_nframes_t frames, void*) {
  void* buffer = jack_port_get_buffer(SinkPort, frames);
  const jack_nframes_t count = jack_midi_get_event_count(buffer);
  if (count > 0) {
    SinkArrival.store(TClock::now().time_since_epoch().count(), std::memory_order_relaxed);
    SinkEvents.fetch_add(static_cast<int>(count), std::memory_order_release);
  }
  return 0;
}

void BM_KnobToWireLatency(benchmark::State& state) {
  TJackHarness jack;
  TJackHarness::TOptions options;
  options.StartDump = false;
  if (!jack.Start(options)) {
    state.SkipWithError(jack.Error().c_str());
    return;
  }
  jack_client_t* sink = nullptr;
  SinkPort = OpenMeasuringPort("bench-sink", "input", JackPortIsInput, &SinkProcess, sink);
  if (SinkPort == nullptr) {
    state.SkipWithError("cannot make the receiving port");
    return;
  }
  MidiOutSetBackend(nullptr);
  int device = -1;
  const UINT n = midiOutGetNumDevs();
  for (UINT i = 0; i < n; ++i) {
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
        std::strcmp(caps.szPname, "bench-sink:input") == 0) {
      device = static_cast<int>(i);
    }
  }
  std::vector<double> ms;
  {
    TMainForm form;
    form.show();
    if (!QTest::qWaitForWindowExposed(&form)) qFatal("the window was not shown");
    form.MidiOut().SetDeviceID(device);
    if (!form.MidiOut().Open()) state.SkipWithError("the port did not open");
    TSkinKnob* knob = form.findChild<TSkinKnob*>("ParKnob1");
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause(0, 6000);
    int notch = 0;
    for (auto _ : state) {
      for (int i = 0; i < 300; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        const int before = SinkEvents.load(std::memory_order_acquire);
        const QPointF at(5, 5);
        QWheelEvent event(at, knob->mapToGlobal(at), {}, QPoint(0, (notch++ & 1) ? -120 : 120),
                          Qt::NoButton, {}, Qt::NoScrollPhase, false);
        const TClock::time_point sent = TClock::now();
        QCoreApplication::sendEvent(knob, &event);
        while (SinkEvents.load(std::memory_order_acquire) == before &&
               TClock::now() - sent < std::chrono::seconds(1)) {
          std::this_thread::yield();
        }
        if (SinkEvents.load(std::memory_order_acquire) == before) continue;
        const TClock::time_point arrived{
            TClock::duration(SinkArrival.load(std::memory_order_relaxed))};
        ms.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
      }
    }
    form.MidiOut().Close();
  }
  ReportLatencies(state, std::move(ms), options, "notches_arrived");
  jack_client_close(sink);
  MidiOutSetBackend(nullptr);
  MidiOutFlushNotifications();
  jack.Stop();
}
BENCHMARK(BM_KnobToWireLatency)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
