#include <benchmark/benchmark.h>

#include "SoundMemory.h"

static void BM_SeedTable(benchmark::State& state) {
  static TSeedTable seeds;
  for (auto _ : state) {
    TSoundMemory::FillSeeds(seeds);
    benchmark::DoNotOptimize(seeds[127][127]);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SeedTable)->Unit(benchmark::kMicrosecond);

// One morph with all 24 parameters followed and both banks on generated presets.
static void BM_Morph(benchmark::State& state) {
  static TSoundMemory memory;
  auto& r = memory.Current();
  r.MorphEnabled.fill(1);
  r.PresetA1 = 12;
  r.PresetA2 = 34;
  r.PresetB1 = 99;
  r.PresetB2 = 7;
  r.Mix = 37;
  r.MixA = -20;
  r.MixB = 45;
  for (auto _ : state) {
    memory.Morph();
    benchmark::DoNotOptimize(r.Values.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Morph)->Unit(benchmark::kNanosecond);

BENCHMARK_MAIN();
