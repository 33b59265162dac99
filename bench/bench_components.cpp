// The keyboard's full paint against one glissando step (the two keys redrawn in its image), and
// one full paint of the bitmap knob's picture. Runs offscreen.

#include <benchmark/benchmark.h>

#include "Knob.h"
#include "MidiKeyboard.h"

#include <QApplication>

namespace {

struct TKeyboardImage {
  std::vector<TKeyInfo> Keys = BuildKeyTable(0, 127, TKeyGeometry{});
  QImage Canvas{831, 80, QImage::Format_RGB32};
  QFont Font;
  QColor Background{0xC0, 0xC0, 0xC0};

  void PaintAll() {
    Canvas.fill(Background);
    for (const TKeyInfo& key : Keys) PaintKey(Canvas, key, TKeyGeometry{}, Background, Font);
  }
};

void BM_KeyboardFullPaint(benchmark::State& state) {
  TKeyboardImage k;
  for (auto _ : state) {
    k.PaintAll();
    benchmark::DoNotOptimize(k.Canvas.constBits());
  }
}
BENCHMARK(BM_KeyboardFullPaint)->Unit(benchmark::kMicrosecond);

// Moving from C to D with the button held: C up, D down.
void BM_KeyboardGlissandoStep(benchmark::State& state) {
  TKeyboardImage k;
  k.PaintAll();
  int i = 0;
  for (auto _ : state) {
    const int from = (i & 1) ? 2 : 0, to = (i & 1) ? 0 : 2;
    ++i;
    DrawKeyOn(k.Canvas, k.Keys[from], TKeyGeometry{}, ksUp);
    DrawKeyOn(k.Canvas, k.Keys[to], TKeyGeometry{}, ksDown);
    benchmark::DoNotOptimize(k.Canvas.constBits());
  }
}
BENCHMARK(BM_KeyboardGlissandoStep)->Unit(benchmark::kMicrosecond);

void BM_KnobCompose(benchmark::State& state) {
  const QImage picture(kKnobNormalPath), mask(kKnobMaskPath);
  if (picture.isNull() || mask.isNull()) {
    state.SkipWithError("the knob pictures are not linked in");
    return;
  }
  int position = 0;
  for (auto _ : state) {
    const QImage shown =
        ComposeKnob(picture, mask, QColor(0xC0, 0xC0, 0xC0), position++ % 101, 0, 100);
    benchmark::DoNotOptimize(shown.constBits());
  }
}
BENCHMARK(BM_KnobCompose)->Unit(benchmark::kMicrosecond);

}  // namespace
