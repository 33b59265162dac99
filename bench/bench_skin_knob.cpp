// One mouse move over a dragged knob: new position from the press point, frame of the position,
// synchronous repaint of the 22 x 22 control, and the change event. Runs offscreen.

#include <benchmark/benchmark.h>

#include "SkinKnob.h"
#include "SkinResources.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QTest>
#include <QWheelEvent>
#include <QWidget>

namespace {

// A shown window with one knob as the main window sets it up, held down at its centre.
struct DraggedKnob {
  QWidget Window;
  TSkinSource Skin;
  TSkinKnob* Knob;
  int Changes = 0;

  DraggedKnob() : Knob(new TSkinKnob(&Window)) {
    Window.resize(200, 200);
    Skin.LoadBitmap(kKnobSkinPath);
    Knob->setGeometry(89, 89, 22, 22);
    Knob->SetSkinSource(&Skin);
    Knob->SetGlyphColCount(67);
    Knob->SetMax(127);
    Knob->SetPosition(64);
    Knob->OnChange = [this](QObject*) { ++Changes; };
    Window.show();
    if (!QTest::qWaitForWindowExposed(&Window)) qFatal("the benchmark window was not shown");
    QTest::mousePress(Window.windowHandle(), Qt::LeftButton, {}, QPoint(100, 100));
  }
  // A run whose knob did not raise its change event once per iteration measured something else.
  void CheckOneChangeEach(benchmark::State& state, const char* failure) {
    benchmark::DoNotOptimize(Changes);
    if (Changes != static_cast<int>(state.iterations())) state.SkipWithError(failure);
  }
  ~DraggedKnob() {
    QTest::mouseRelease(Window.windowHandle(), Qt::LeftButton, {}, QPoint(100, 100));
  }
};

// Move `n` of a drag, delivered straight to the knob: 40 pixels up or down, frames 54 and 12.
void MoveStraightToKnob(DraggedKnob& d, int n) {
  const QPointF local(11, (n & 1) ? -29 : 51);
  QMouseEvent move(QEvent::MouseMove, local, d.Knob->mapToGlobal(local), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier, QPointingDevice::primaryPointingDevice());
  QCoreApplication::sendEvent(d.Knob, &move);
}

// The move event delivered straight to the knob.
void BM_KnobDragMove(benchmark::State& state) {
  DraggedKnob d;
  int i = 0;
  for (auto _ : state) {
    MoveStraightToKnob(d, i++);
  }
  d.CheckOneChangeEach(state, "OnChange was not raised once per move");
}
BENCHMARK(BM_KnobDragMove)->Unit(benchmark::kMicrosecond);

// The same move as the window system hands it over: through the window, the application's
// dispatch and the knob's implicit grab.
void BM_KnobDragMoveThroughWindow(benchmark::State& state) {
  DraggedKnob d;
  int i = 0;
  ulong timestamp = 1'000'000;
  for (auto _ : state) {
    const QPointF local(100, (i++ & 1) ? 60 : 140);
    qt_handleMouseEvent(d.Window.windowHandle(), local, d.Window.mapToGlobal(local), Qt::LeftButton,
                        Qt::NoButton, QEvent::MouseMove, Qt::NoModifier,
                        static_cast<int>(++timestamp));
  }
  d.CheckOneChangeEach(state, "OnChange was not raised once per move");
}
BENCHMARK(BM_KnobDragMoveThroughWindow)->Unit(benchmark::kMicrosecond);

// The same move on a knob with a name, which also shows its value hint (a tooltip window of its
// own, its text renewed on every move).
void BM_KnobDragMoveWithValueHint(benchmark::State& state) {
  DraggedKnob d;
  d.Knob->SetCaption("Filter Freq");
  int i = 0;
  for (auto _ : state) {
    MoveStraightToKnob(d, i++);
  }
  d.CheckOneChangeEach(state, "OnChange was not raised once per move");
}
BENCHMARK(BM_KnobDragMoveWithValueHint)->Unit(benchmark::kMicrosecond);

// One wheel notch over a named knob: one step, one repaint, one change event, the hint renewed.
void BM_KnobWheelNotch(benchmark::State& state) {
  DraggedKnob d;
  QTest::mouseRelease(d.Window.windowHandle(), Qt::LeftButton, {}, QPoint(100, 100));
  d.Knob->SetCaption("Filter Freq");
  d.Changes = 0;
  int i = 0;
  for (auto _ : state) {
    const QPointF local(11, 11);
    QWheelEvent wheel(local, d.Knob->mapToGlobal(local), {}, QPoint(0, (i++ & 1) ? 120 : -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(d.Knob, &wheel);
  }
  d.CheckOneChangeEach(state, "OnChange was not raised once per notch");
}
BENCHMARK(BM_KnobWheelNotch)->Unit(benchmark::kMicrosecond);

}  // namespace
