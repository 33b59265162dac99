// What a log write costs the caller on the monitor and the serial port, with the medium working
// and with it stalled (the monitor stopped, the port never read).
#include <QCoreApplication>
#include <QProcess>

#include <benchmark/benchmark.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

#include <signal.h>

#include "DebugDevice.h"
#include "OleObject.h"
#include "PrivateBus.h"
#include "PseudoTerminal.h"
#include "SerialPort.h"

namespace {

using halvorine_test::TPrivateBus;
using halvorine_test::TPseudoTerminal;

// A private bus with the monitor on it, its output thrown away so that it never blocks on it.
struct TMonitorBus {
  TPrivateBus Bus;
  QProcess Monitor;
  std::unique_ptr<halvorine_test::TScopedEnv> Env;
  bool Ready = false;

  TMonitorBus() {
    if (Bus.Address().isEmpty()) return;
    Env = std::make_unique<halvorine_test::TScopedEnv>("DBUS_SESSION_BUS_ADDRESS",
                                                       Bus.Address().toUtf8());
    halvorine_test::DieWithParent(Monitor);
    Monitor.setStandardOutputFile(QProcess::nullDevice());
    Monitor.start(QStringLiteral(HALVORINE_DEBUG_MONITOR), {QStringLiteral("--calls")});
    Ready = Monitor.waitForStarted(5000) &&
            Bus.WaitForName(QString::fromLatin1(kDebugMonitorProgId), 10000);
  }
  ~TMonitorBus() {
    Resume();
    halvorine_test::StopProcess(Monitor);
  }
  void Stop() { ::kill(static_cast<pid_t>(Monitor.processId()), SIGSTOP); }
  void Resume() {
    if (Monitor.processId() > 0) ::kill(static_cast<pid_t>(Monitor.processId()), SIGCONT);
  }
};

TMonitorBus* GMonitor = nullptr;

TDebugDevice& MonitorLog() {
  static TDebugDevice log;
  if (!TDebugDevice::GetOpened() && GMonitor && GMonitor->Ready) {
    log.SetMedia(dmWindow);
    log.Open();
  }
  return log;
}

}  // namespace

// The morph's "*" to a monitor that runs.
static void BM_MonitorWriteStar(benchmark::State& state) {
  TDebugDevice& log = MonitorLog();
  if (!TDebugDevice::GetOpened()) state.SkipWithError("no monitor");
  for (auto _ : state) log.Write("*");
}
BENCHMARK(BM_MonitorWriteStar)->Unit(benchmark::kMicrosecond)->Iterations(20000);

// The same with the monitor stopped: the texts wait on the bus until it runs again.
static void BM_MonitorWriteStarStopped(benchmark::State& state) {
  TDebugDevice& log = MonitorLog();
  if (!TDebugDevice::GetOpened()) state.SkipWithError("no monitor");
  GMonitor->Stop();
  for (auto _ : state) log.Write("*");
  GMonitor->Resume();
}
BENCHMARK(BM_MonitorWriteStarStopped)->Unit(benchmark::kMicrosecond)->Iterations(20000);

// For comparison: a call that waits for the running monitor's reply.
static void BM_MonitorInvokeRoundTrip(benchmark::State& state) {
  if (!GMonitor || !GMonitor->Ready) state.SkipWithError("no monitor");
  std::unique_ptr<TOleObject> monitor =
      TOleObject::Create(QString::fromLatin1(kDebugMonitorProgId));
  for (auto _ : state) monitor->Invoke(QStringLiteral("Write"), {QStringLiteral("*")});
}
BENCHMARK(BM_MonitorInvokeRoundTrip)->Unit(benchmark::kMicrosecond)->Iterations(2000);

// "*" to a port whose other side is read as fast as it comes.
static void BM_SerialWriteStar(benchmark::State& state) {
  TPseudoTerminal terminal;
  TSerialPort port;
  if (!terminal.IsValid() || !port.Open("19200,n,8,1", terminal.Path())) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) terminal.Read(4096, 20);
  });
  for (auto _ : state) port.Write("*");
  done = true;
  reader.join();
  state.counters["dropped"] = static_cast<double>(port.DroppedBytes());
}
BENCHMARK(BM_SerialWriteStar)->Unit(benchmark::kMicrosecond);

// "*" to a port nobody reads, once it is full: each write waits out its deadline.
static void BM_SerialWriteStarStalled(benchmark::State& state) {
  TPseudoTerminal terminal;
  TSerialPort port;
  if (!terminal.IsValid() || !port.Open("19200,n,8,1", terminal.Path())) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  port.SetWriteTimeout(std::chrono::milliseconds(0));
  const std::string fill(4096, '.');
  while (port.Write(fill)) {
  }
  while (port.Write(".")) {
  }
  port.SetWriteTimeout(TSerialPort::kDefaultWriteTimeout);
  for (auto _ : state) port.Write("*");
}
BENCHMARK(BM_SerialWriteStarStalled)->Unit(benchmark::kMillisecond)->Iterations(10);

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  {
    TMonitorBus monitor;
    GMonitor = &monitor;
    benchmark::RunSpecifiedBenchmarks();
    GMonitor = nullptr;
  }
  benchmark::Shutdown();
  return 0;
}
