// What a musician waits for with sound sets: saving and opening a full set (every field of all
// sixteen sounds set), and one undo of a mix-knob drag with all 24 parameters ticked (the memory
// and 25 knobs restored, 24 control changes sent). Offscreen, over the recording MIDI backend.

#include <benchmark/benchmark.h>

#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUndoStack>

#include "BenchPanel.h"
#include "MainForm.h"
#include "RecordingMidiBackend.h"
#include "SkinKnob.h"
#include "SoundSetFile.h"

namespace {

// Every field away from its start value, so that nothing is written or read as a default.
TSoundSet FullSet() {
  TSoundSet set;
  for (int s = 0; s < kSoundCount; ++s) {
    TSoundRecord& r = set.Records[s];
    for (int i = 0; i < kParameterCount; ++i) {
      r.Values[i] = (s * 31 + i * 7) % 128;
      r.StoredA[i] = (s * 17 + i * 5) % 128;
      r.StoredB[i] = (s * 13 + i * 3) % 128;
      r.MorphEnabled[i] = static_cast<std::uint8_t>((s + i) % 2);
    }
    r.UseStoredA = 1;
    r.PresetA1 = s;
    r.PresetA2 = 100 - s;
    r.Mix = 50;
    r.MixA = -30;
    r.MixB = 70;
  }
  set.SelectedSound = 9;
  set.BaseChannel = 5;
  set.Device = QStringLiteral("midi-monitor:input");
  return set;
}

// Saves a full set again and again into `folder`.
void SaveInto(benchmark::State& state, const QString& folder) {
  QTemporaryDir dir(folder + QStringLiteral("/halvorine-bench-XXXXXX"));
  if (!dir.isValid()) {
    state.SkipWithError("no folder to save into");
    return;
  }
  const QString path = dir.filePath("bench.hvset");
  const TSoundSet set = FullSet();
  QString error;
  for (auto _ : state) {
    if (!WriteSoundSetFile(path, set, error)) state.SkipWithError(qPrintable(error));
  }
}

// On the disk, with the sync to the disk that makes the rename safe.
void BM_SaveFullSetToDisk(benchmark::State& state) { SaveInto(state, QDir::tempPath()); }
BENCHMARK(BM_SaveFullSetToDisk)->Unit(benchmark::kMicrosecond);

// On a memory file system, where the sync costs nothing: the program's own share of a save.
void BM_SaveFullSetInMemory(benchmark::State& state) {
  SaveInto(state, QStringLiteral("/dev/shm"));
}
BENCHMARK(BM_SaveFullSetInMemory)->Unit(benchmark::kMicrosecond);

void BM_OpenFullSet(benchmark::State& state) {
  QTemporaryDir folder;
  const QString path = folder.filePath("bench.hvset");
  QString error;
  if (!WriteSoundSetFile(path, FullSet(), error)) qFatal("could not write the set");
  for (auto _ : state) {
    TSoundSet set;
    if (!ReadSoundSetFile(path, set, error)) state.SkipWithError(qPrintable(error));
    benchmark::DoNotOptimize(set);
  }
}
BENCHMARK(BM_OpenFullSet)->Unit(benchmark::kMicrosecond);

// Alternates undo and redo of one drag: each iteration restores one side of it.
void BM_UndoMixDragAllTicked(benchmark::State& state) {
  TRecordingMidiService midi;
  TMainForm form;
  ShowOpenAllTicked(form);
  form.UndoStack().clear();
  const QPoint at = form.findChild<TSkinKnob*>("MixKnob")->geometry().center();
  QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, at);
  QTest::mouseMove(form.windowHandle(), at + QPoint(0, -20));
  QTest::mouseMove(form.windowHandle(), at + QPoint(0, -60));
  QTest::mouseRelease(form.windowHandle(), Qt::LeftButton, {}, at + QPoint(0, -60));
  if (form.UndoStack().count() != 1) qFatal("the drag is not one step");
  midi->ClearMessages();
  std::size_t sent = 0;
  bool undo = true;
  for (auto _ : state) {
    if (undo) {
      form.Undo();
    } else {
      form.Redo();
    }
    undo = !undo;
    state.PauseTiming();
    sent += midi->Bytes().size();
    midi->ClearMessages();
    state.ResumeTiming();
  }
  state.counters["bytes_per_step"] =
      benchmark::Counter(static_cast<double>(sent) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_UndoMixDragAllTicked)->Unit(benchmark::kMicrosecond);

}  // namespace
