#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

#include "DebugDevice.h"
#include "SerialPort.h"

namespace {

// The log opens once per process, so every benchmark here writes to one file, in a folder of
// its own that is removed at the end.
std::string& LogDir() {
  static std::string dir;
  return dir;
}

TDebugDevice& FileLog() {
  static TDebugDevice log;
  if (!TDebugDevice::GetOpened()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "halvorine-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data())) LogDir() = pattern;
    TDebugDevice::SetLogFolder(LogDir());
    log.SetMedia(dmFile);
    log.Open();
  }
  return log;
}

}  // namespace

// The morph's "*": one byte written and flushed to the file.
static void BM_FileWriteStar(benchmark::State& state) {
  TDebugDevice& log = FileLog();
  if (!TDebugDevice::GetOpened()) state.SkipWithError("the log file did not open");
  for (auto _ : state) log.Write("*");
}
BENCHMARK(BM_FileWriteStar)->Unit(benchmark::kMicrosecond);

// A base-channel entry: a number and a line end.
static void BM_FileWriteLnInt(benchmark::State& state) {
  TDebugDevice& log = FileLog();
  if (!TDebugDevice::GetOpened()) state.SkipWithError("the log file did not open");
  std::int32_t value = 0;
  for (auto _ : state) log.WriteLn(value++ & 15);
}
BENCHMARK(BM_FileWriteLnInt)->Unit(benchmark::kMicrosecond);

static void BM_ParseSerialSettings(benchmark::State& state) {
  for (auto _ : state) {
    auto settings = ParseSerialSettings(kDebugSerialSettings);
    benchmark::DoNotOptimize(settings);
  }
}
BENCHMARK(BM_ParseSerialSettings)->Unit(benchmark::kNanosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!LogDir().empty()) {
    std::error_code error;
    std::filesystem::remove_all(LogDir(), error);
  }
  return 0;
}
