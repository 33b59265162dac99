#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>
#include <optional>

#include "OleObject.h"
#include "PrivateBus.h"

using halvorine_test::TMonitorProcess;

namespace {

class Monitor : public halvorine_test::PrivateBusTest {};

}  // namespace

TEST_F(Monitor, ShowsTextsAsTheyArrive) {
  auto monitor = StartMonitor({});
  auto object = TOleObject::Create(kProgId);
  object->Invoke(QStringLiteral("Write"), {QStringLiteral("first line\r\n")});
  object->Invoke(QStringLiteral("Write"), {QStringLiteral("*")});
  object->Invoke(QStringLiteral("Write"), {QString::fromUtf8("caf\xC3\xA9\r\n")});
  EXPECT_EQ(monitor->WaitForLines(2, kWaitMs), QByteArray("first line\r\n*caf\xC3\xA9\r\n"));
}

TEST_F(Monitor, WindowModeRunsOffscreenAndStillPrints) {
  auto monitor = StartMonitor({QStringLiteral("--window"), QStringLiteral("--calls")});
  auto object = TOleObject::Create(kProgId);
  object->Invoke(QStringLiteral("Write"), {QStringLiteral("tab\there")});
  EXPECT_EQ(monitor->WaitForLines(1, kWaitMs), QByteArray("Write \"tab\\there\"\n"));
}

// A second monitor is refused and the first keeps the name; the first ends when its bus goes.
TEST_F(Monitor, ASecondMonitorIsRefusedAndTheFirstEndsWithItsBus) {
  auto first = StartMonitor({QStringLiteral("--calls")});
  TMonitorProcess second(kMonitor, FBus.Address());
  EXPECT_EQ(second.WaitForExit(kWaitMs), std::optional<int>(1));
  auto object = TOleObject::Create(kProgId);
  object->Invoke(QStringLiteral("Write"), {QStringLiteral("to the first")});
  EXPECT_EQ(first->WaitForLines(1, kWaitMs), QByteArray("Write \"to the first\"\n"));
  FBus.Stop();
  EXPECT_EQ(first->WaitForExit(kWaitMs), std::optional<int>(0));
}

TEST(MonitorWithoutBus, FailsWithStatus1) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  TMonitorProcess monitor(QStringLiteral(HALVORINE_DEBUG_MONITOR),
                          QStringLiteral("unix:path=") + dir.filePath(QStringLiteral("none")));
  EXPECT_EQ(monitor.WaitForExit(10000), std::optional<int>(1));
}

// Creation needs a valid name with an owner; refused calls throw and leave the object usable
// until the monitor goes.
TEST_F(Monitor, CreationNeedsANamedOwnerAndRefusedCallsLeaveTheObjectUsable) {
  for (const char* id :
       {"", "Tessaly", "Tessaly..Ole", "1Tessaly.Ole", "Tessaly.Ole!", ":1.5", "Tessaly.Ole."}) {
    EXPECT_THROW(TOleObject::Create(QString::fromLatin1(id)), EOleError) << id;
  }
  EXPECT_THROW(TOleObject::Create(kProgId), EOleError);
  auto monitor = StartMonitor({QStringLiteral("--calls")});
  auto object = TOleObject::Create(kProgId);
  EXPECT_THROW(object->Invoke(QStringLiteral("Erase")), EOleError);
  EXPECT_THROW(object->Invoke(QStringLiteral("Write"), {QVariant(42)}), EOleError);
  EXPECT_THROW(object->Invoke(QStringLiteral("Write")), EOleError);
  object->Invoke(QStringLiteral("Write"), {QStringLiteral("ok")});
  EXPECT_EQ(monitor->WaitForLines(1, kWaitMs), QByteArray("Write \"ok\"\n"));
  monitor->Stop();
  ASSERT_TRUE(FBus.WaitForName(kProgId, kWaitMs, false));
  EXPECT_THROW(object->Invoke(QStringLiteral("Write"), {QStringLiteral("gone")}), EOleError);
}

TEST(OleObjectPath, FollowsTheIdentifier) {
  EXPECT_EQ(TOleObject::ObjectPath(QStringLiteral("Tessaly.Ole")), QStringLiteral("/Tessaly/Ole"));
  EXPECT_EQ(TOleObject::ObjectPath(QStringLiteral("a-b.c_d.E")), QStringLiteral("/a_b/c_d/E"));
}
