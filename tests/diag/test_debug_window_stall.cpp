#include <gtest/gtest.h>

#include <QByteArray>

#include <chrono>
#include <csignal>
#include <string>

#include <signal.h>

#include "DebugDevice.h"
#include "DebugTestUtil.h"
#include "OleObject.h"
#include "PrivateBus.h"

namespace {

using namespace std::chrono;

// A log write only hands the text to the bus; this bound leaves a busy machine room and is still
// far below what waiting for a hung monitor would cost.
constexpr auto kWriteBound = milliseconds(200);
// Open asks the bus, not the monitor, whether the monitor is there.
constexpr auto kOpenBound = seconds(1) + milliseconds(500);

// What the monitor prints for one line the log wrote.
QByteArray Call(const std::string& line) {
  return QByteArray("Write \"") + line.c_str() + "\\r\\n\"\n";
}

QByteArray BannerCalls() {
  return Call("**************************") + Call("* Start of debug session *") +
         Call("**************************");
}

// The log on a private bus whose monitor or daemon a test stops (SIGSTOP); resumed at the end.
class Stalled : public halvorine_test::PrivateBusTest {
protected:
  void SetUp() override {
    HALVORINE_REQUIRE_FRESH_LOG();
    PrivateBusTest::SetUp();
  }
  void TearDown() override { Resume(); }

  void Stop(qint64 pid) {
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    FPid = pid;
  }
  void Resume() {
    if (FPid > 0) ::kill(static_cast<pid_t>(FPid), SIGCONT);
    FPid = 0;
  }

  std::unique_ptr<halvorine_test::TMonitorProcess> FMonitor;  // outlives TearDown's resume
  qint64 FPid = 0;
};

// Whether the monitor is stopped before the log opens or only after.
enum class TStopped { BeforeOpen, AfterOpen };

class StoppedMonitor : public Stalled, public ::testing::WithParamInterface<TStopped> {};

}  // namespace

TEST_P(StoppedMonitor, WritesDoNotWaitAndArriveOnceItRuns) {
  FMonitor = StartMonitor();
  TDebugDevice device;
  device.SetMedia(dmWindow);
  if (GetParam() == TStopped::BeforeOpen) Stop(FMonitor->Process().processId());
  const auto openStart = steady_clock::now();
  device.Open();
  EXPECT_LT(steady_clock::now() - openStart, kOpenBound);
  ASSERT_TRUE(TDebugDevice::GetOpened());
  if (GetParam() == TStopped::AfterOpen) Stop(FMonitor->Process().processId());

  QByteArray expected = BannerCalls();
  for (int i = 0; i < 20; ++i) {
    const std::string text = "entry " + std::to_string(i);
    const auto start = steady_clock::now();
    device.WriteLn(text);
    EXPECT_LT(steady_clock::now() - start, kWriteBound) << text;
    expected += Call(text);
  }

  Resume();
  EXPECT_EQ(FMonitor->WaitForLines(static_cast<int>(expected.count('\n')), kWaitMs), expected);
}

INSTANTIATE_TEST_SUITE_P(When, StoppedMonitor,
                         ::testing::Values(TStopped::BeforeOpen, TStopped::AfterOpen));

using StoppedBus = Stalled;

TEST_F(StoppedBus, OpenGivesUpWithinItsBoundAndALaterOpenSucceeds) {
  auto monitor = StartMonitor();
  Stop(FBus.ProcessId());
  TDebugDevice device;
  device.SetMedia(dmWindow);
  const auto start = steady_clock::now();
  EXPECT_THROW(device.Open(), EOleError);
  EXPECT_LT(steady_clock::now() - start, kOpenBound);
  EXPECT_FALSE(TDebugDevice::GetOpened());

  Resume();
  device.Open();
  EXPECT_TRUE(TDebugDevice::GetOpened());
  device.WriteLn("back");
  EXPECT_EQ(monitor->WaitForLines(4, kWaitMs), BannerCalls() + Call("back"));
}
