#pragma once

// Test helpers for the session bus: a private dbus-daemon in a temporary folder, the debug
// monitor started on it, and a scoped environment variable. Everything started here is stopped
// by the destructors, so a failing assertion leaves nothing running; the children also get
// SIGTERM if the test process dies.

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <optional>
#include <string>

#include <sys/prctl.h>

#include "Eventually.h"

namespace halvorine_test {

inline void StopProcess(QProcess& process) {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(3000)) {
    process.kill();
    process.waitForFinished(3000);
  }
}

inline void DieWithParent(QProcess& process) {
  process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

// Sets an environment variable for the scope, restoring the old value (or its absence) after.
class TScopedEnv {
public:
  TScopedEnv(const char* name, const QByteArray& value)
      : FName(name), FHad(qEnvironmentVariableIsSet(name)), FOld(qgetenv(name)) {
    qputenv(name, value);
  }
  ~TScopedEnv() { FHad ? qputenv(FName, FOld) : qunsetenv(FName); }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
  const char* FName;
  bool FHad;
  QByteArray FOld;
};

// A dbus-daemon of its own, listening on a socket in a temporary folder.
class TPrivateBus {
public:
  TPrivateBus() {
    if (!FDir.isValid()) return;
    const QString config = FDir.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1</listen>"
                              "<auth>EXTERNAL</auth><policy context=\"default\">"
                              "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>")
                   .arg(FDir.filePath(QStringLiteral("bus")))
                   .toUtf8());
    file.close();
    DieWithParent(FDaemon);
    FDaemon.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                   QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
    if (!FDaemon.waitForStarted(5000)) return;
    // The daemon prints its address once it listens.
    QDeadlineTimer deadline(10000);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && FDaemon.state() == QProcess::Running) {
      FDaemon.waitForReadyRead(200);
      out += FDaemon.readAllStandardOutput();
    }
    if (out.contains('\n')) FAddress = QString::fromUtf8(out.left(out.indexOf('\n'))).trimmed();
  }
  ~TPrivateBus() { StopProcess(FDaemon); }
  TPrivateBus(const TPrivateBus&) = delete;
  TPrivateBus& operator=(const TPrivateBus&) = delete;

  // Empty when the daemon did not start.
  const QString& Address() const { return FAddress; }
  // The daemon's process, to stop and resume it; 0 when it is not running.
  qint64 ProcessId() const { return FDaemon.processId(); }
  void Stop() { StopProcess(FDaemon); }

  // Waits until some client owns the name, or with owned false until none does; false when the
  // time is up first.
  bool WaitForName(const QString& name, int timeoutMs, bool owned = true) const {
    const QString connection = QStringLiteral("halvorine-test-watch");
    bool found = false;
    {
      QDBusConnection bus = QDBusConnection::connectToBus(FAddress, connection);
      found = Eventually(
          [&] {
            const QDBusReply<bool> reply = bus.interface()->isServiceRegistered(name);
            return !bus.isConnected() || (reply.isValid() && reply.value() == owned);
          },
          std::chrono::milliseconds(timeoutMs));
      found = found && bus.isConnected();
    }
    QDBusConnection::disconnectFromBus(connection);
    return found;
  }

private:
  QTemporaryDir FDir;
  QProcess FDaemon;
  QString FAddress;
};

// The debug monitor from tools/, started on a bus with the given options. Its standard output
// collects what it shows.
class TMonitorProcess {
public:
  TMonitorProcess(const QString& program, const QString& busAddress,
                  const QStringList& arguments = {QStringLiteral("--calls")}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    FProcess.setProcessEnvironment(env);
    DieWithParent(FProcess);
    FProcess.start(program, arguments);
    FProcess.waitForStarted(5000);
  }
  ~TMonitorProcess() { StopProcess(FProcess); }
  TMonitorProcess(const TMonitorProcess&) = delete;
  TMonitorProcess& operator=(const TMonitorProcess&) = delete;

  QProcess& Process() { return FProcess; }
  void Stop() { StopProcess(FProcess); }

  // Everything printed so far, once it holds at least `lines` lines or the time is up.
  QByteArray WaitForLines(int lines, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (FOutput.count('\n') < lines && !deadline.hasExpired() &&
           FProcess.state() == QProcess::Running) {
      FProcess.waitForReadyRead(100);
      FOutput += FProcess.readAllStandardOutput();
    }
    FOutput += FProcess.readAllStandardOutput();
    return FOutput;
  }

  // Waits for the process to end by itself; its exit code, or nothing if it is still running.
  std::optional<int> WaitForExit(int timeoutMs) {
    if (!FProcess.waitForFinished(timeoutMs) && FProcess.state() != QProcess::NotRunning) {
      return std::nullopt;
    }
    FOutput += FProcess.readAllStandardOutput();
    return FProcess.exitStatus() == QProcess::NormalExit ? std::optional<int>(FProcess.exitCode())
                                                         : std::nullopt;
  }

private:
  QProcess FProcess;
  QByteArray FOutput;
};

// A test with a private bus that this process's session bus variable names, and the debug monitor
// (the program given by HALVORINE_DEBUG_MONITOR) ready to start on it.
class PrivateBusTest : public ::testing::Test {
protected:
  static constexpr int kWaitMs = 10000;
  static inline const QString kProgId = QStringLiteral("Tessaly.Ole");
  static inline const QString kMonitor = QStringLiteral(HALVORINE_DEBUG_MONITOR);

  void SetUp() override {
    ASSERT_FALSE(FBus.Address().isEmpty()) << "dbus-daemon did not start";
    FEnv.emplace("DBUS_SESSION_BUS_ADDRESS", FBus.Address().toUtf8());
  }

  // Starts the monitor with the given options and waits until it owns its name.
  std::unique_ptr<TMonitorProcess> StartMonitor(const QStringList& arguments = {
                                                    QStringLiteral("--calls")}) {
    auto monitor = std::make_unique<TMonitorProcess>(kMonitor, FBus.Address(), arguments);
    EXPECT_TRUE(FBus.WaitForName(kProgId, kWaitMs)) << "the monitor did not take its name";
    return monitor;
  }

  TPrivateBus FBus;
  std::optional<TScopedEnv> FEnv;
};

}  // namespace halvorine_test
