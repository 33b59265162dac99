#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include "DebugDevice.h"
#include "DebugTestUtil.h"
#include "OleObject.h"
#include "PrivateBus.h"

using halvorine_test::TScopedEnv;

namespace {

QByteArray Calls(std::initializer_list<const char*> texts) {
  QByteArray out;
  for (const char* t : texts) out += QByteArray("Write \"") + t + "\"\n";
  return out;
}

const QByteArray kBannerCalls =
    Calls({"**************************\\r\\n", "* Start of debug session *\\r\\n",
           "**************************\\r\\n"});

// The log on a private bus, with the monitor started on demand.
class WindowLog : public halvorine_test::PrivateBusTest {
protected:
  void SetUp() override {
    HALVORINE_REQUIRE_FRESH_LOG();
    PrivateBusTest::SetUp();
  }
};

}  // namespace

TEST_F(WindowLog, BannerAndEntriesArriveAsSeparateWriteCalls) {
  auto monitor = StartMonitor();
  TDebugDevice log;
  log.SetMedia(dmWindow);
  log.Open();
  ASSERT_TRUE(TDebugDevice::GetOpened());
  log.WriteLn("Midi is Open");
  log.Write("*");
  log.Write("*");
  log.Write("*");
  log.WriteLn(-12);
  log.Write("caf\xC3\xA9 \"q\" \\");
  log.Write("");

  const QByteArray expected =
      kBannerCalls +
      Calls({"Midi is Open\\r\\n", "*", "*", "*", "-12\\r\\n", "caf\\xC3\\xA9 \\\"q\\\" \\\\", ""});
  EXPECT_EQ(monitor->WaitForLines(expected.count('\n'), kWaitMs), expected);
}

// Without the bus, or without the monitor on it, Open throws and the log stays closed; once the
// monitor is there, Open tries again and only then the banner goes out.
TEST_F(WindowLog, WithoutTheBusOrTheServiceOpenThrowsAndWritesNothing) {
  TDebugDevice log;
  log.SetMedia(dmWindow);
  {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS",
                     QByteArray("unix:path=") + dir.filePath(QStringLiteral("none")).toUtf8());
    EXPECT_THROW(log.Open(), EOleError);
    EXPECT_FALSE(TDebugDevice::GetOpened());
    EXPECT_NO_THROW(log.WriteLn("nowhere"));
  }
  EXPECT_THROW(log.Open(), EOleError);
  EXPECT_FALSE(TDebugDevice::GetOpened());
  log.WriteLn("before the monitor");
  auto monitor = StartMonitor();
  log.Open();
  EXPECT_TRUE(TDebugDevice::GetOpened());
  log.WriteLn("after");
  const QByteArray expected = kBannerCalls + Calls({"after\\r\\n"});
  EXPECT_EQ(monitor->WaitForLines(expected.count('\n'), kWaitMs), expected);
}

TEST_F(WindowLog, AFailedCallIsDroppedAndTheNextOneTriesAgain) {
  auto first = StartMonitor();
  TDebugDevice log;
  log.SetMedia(dmWindow);
  log.Open();
  ASSERT_TRUE(TDebugDevice::GetOpened());
  log.WriteLn("one");
  EXPECT_EQ(first->WaitForLines(4, kWaitMs), kBannerCalls + Calls({"one\\r\\n"}));
  first->Stop();
  ASSERT_TRUE(FBus.WaitForName(kProgId, kWaitMs, false));

  EXPECT_NO_THROW(log.WriteLn("lost"));
  auto second = StartMonitor();
  log.WriteLn("two");
  EXPECT_EQ(second->WaitForLines(1, kWaitMs), Calls({"two\\r\\n"}));
}
