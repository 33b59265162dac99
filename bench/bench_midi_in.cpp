// The window's thread's cost of one control change received from the instrument: taken from the
// input's ring, mapped to its sound and parameter, the knob moved and its box cleared, recorded
// in the run's undo step. Offscreen, over the recording MIDI backend, with every parameter ticked
// at the start and the changes spread over all 24 knobs of the shown sound.

#include <benchmark/benchmark.h>

#include "BenchPanel.h"
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

}  // namespace
