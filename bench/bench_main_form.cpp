// The main window's two costs a musician feels: one move of the mix knob with every parameter
// ticked (the morph, 24 control changes through the port, 24 knob repaints), and start-up to the
// first painted window. Offscreen, over the recording MIDI backend.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include "BenchPanel.h"
#include "MainForm.h"
#include "RecordingMidiBackend.h"
#include "SkinKnob.h"

namespace {

// Counts paint events reaching any widget, to know when the window is first on the screen.
class PaintWatch : public QObject {
public:
  bool Painted = false;

protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) Painted = true;
    return false;
  }
};

void BM_MixKnobMoveAllTicked(benchmark::State& state) {
  TRecordingMidiService midi;
  {
    TMainForm form;
    ShowOpenAllTicked(form);
    TSkinKnob* mix = form.findChild<TSkinKnob*>("MixKnob");
    const QPoint at = mix->geometry().center();
    QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, at);
    int i = 0;
    std::size_t sent = 0;
    for (auto _ : state) {
      // 40 pixels up, then back: mix 31 and 0, each sending all 24 parameters.
      QTest::mouseMove(form.windowHandle(), at + QPoint(0, (i++ & 1) ? 0 : -40));
      if ((i & 1023) == 0) {
        state.PauseTiming();
        sent += midi->Bytes().size();
        midi->ClearMessages();
        state.ResumeTiming();
      }
    }
    QTest::mouseRelease(form.windowHandle(), Qt::LeftButton, {}, at);
    sent += midi->Bytes().size();
    state.counters["bytes_per_move"] =
        benchmark::Counter(static_cast<double>(sent) / static_cast<double>(state.iterations()));
  }
}
BENCHMARK(BM_MixKnobMoveAllTicked)->Unit(benchmark::kMicrosecond);

void BM_StartUpToFirstPaint(benchmark::State& state) {
  TRecordingMidiService midi;
  for (auto _ : state) {
    PaintWatch watch;
    TMainForm form;
    form.installEventFilter(&watch);
    form.show();
    while (!watch.Painted) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    state.PauseTiming();
    form.close();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_StartUpToFirstPaint)->Unit(benchmark::kMillisecond);

}  // namespace
