#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

#include "DebugDevice.h"
#include "DebugTestUtil.h"
#include "PseudoTerminal.h"
#include "SerialPort.h"

namespace fs = std::filesystem;
using halvorine_test::Banner;
using halvorine_test::ReadBytes;
using halvorine_test::TPseudoTerminal;

namespace {

// What may stand where the log file goes and must not be written through or waited on.
enum class TTrap { LinkToFile, DanglingLink, LinkToFolder, Fifo };

class LogFileTrap : public ::testing::TestWithParam<TTrap> {
protected:
  void SetUp() override {
    HALVORINE_REQUIRE_FRESH_LOG();
    ASSERT_TRUE(FDir.isValid());
    TDebugDevice::SetLogFolder(Folder().string());
  }
  fs::path Folder() const { return fs::path(FDir.path().toStdString()); }

  QTemporaryDir FDir;
};

}  // namespace

TEST_P(LogFileTrap, LeavesTheLogClosedAndTheTargetUntouched) {
  const fs::path log = Folder() / "Debug.txt";
  const fs::path target = Folder() / "precious.txt";
  switch (GetParam()) {
    case TTrap::LinkToFile:
      std::ofstream(target) << "keep me";
      fs::create_symlink(target, log);
      break;
    case TTrap::DanglingLink:
      fs::create_symlink(target, log);
      break;
    case TTrap::LinkToFolder:
      fs::create_directory(target);
      fs::create_symlink(target, log);
      break;
    case TTrap::Fifo:
      // Opening a FIFO nobody reads for writing would wait for a reader for ever.
      ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
      break;
  }
  TDebugDevice device;
  device.SetMedia(dmFile);
  device.Open();
  EXPECT_FALSE(TDebugDevice::GetOpened());
  device.WriteLn("lost");
  switch (GetParam()) {
    case TTrap::LinkToFile:
      EXPECT_EQ(ReadBytes(target), "keep me");
      break;
    case TTrap::DanglingLink:
      EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
      break;
    case TTrap::LinkToFolder:
      EXPECT_TRUE(fs::is_empty(target));
      break;
    case TTrap::Fifo:
      EXPECT_TRUE(fs::is_fifo(log));
      break;
  }

  // As for any file that cannot be opened, a later Open tries again.
  fs::remove(log);
  device.Open();
  EXPECT_TRUE(TDebugDevice::GetOpened());
  device.WriteLn("found");
  EXPECT_EQ(ReadBytes(log), Banner() + "found\r\n");
  EXPECT_FALSE(fs::is_symlink(log));

  // The open file is not handed on to programs this one starts.
  int descriptors = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) != fs::canonical(log)) continue;
    ++descriptors;
    const int fd = std::stoi(entry.path().filename().string());
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  }
  EXPECT_EQ(descriptors, 1);
}

INSTANTIATE_TEST_SUITE_P(Traps, LogFileTrap,
                         ::testing::Values(TTrap::LinkToFile, TTrap::DanglingLink,
                                           TTrap::LinkToFolder, TTrap::Fifo));

// The log on a terminal that nobody reads: no write costs more than the port's deadline, the
// overflow is counted, and everything counted as taken arrives.
TEST(SerialLogStall, EachWriteReturnsByItsDeadline) {
  using namespace std::chrono;
  HALVORINE_REQUIRE_FRESH_LOG();
  TPseudoTerminal terminal;
  ASSERT_TRUE(terminal.IsValid());
  TSerialPort::SetDevicePath("COM1", terminal.Path());
  TDebugDevice device;
  device.SetMedia(dmSerial);
  device.Open();
  TSerialPort::SetDevicePath("COM1", "");
  ASSERT_TRUE(TDebugDevice::GetOpened());

  const std::string entry(1000, '*');
  std::uint64_t written = Banner().size();
  int stalledWrites = 0;
  for (int i = 0; stalledWrites < 3 && i < 2000; ++i) {
    const std::uint64_t droppedBefore = TDebugDevice::GetSerialDropped();
    const auto start = steady_clock::now();
    device.WriteLn(entry);
    EXPECT_LT(steady_clock::now() - start, TSerialPort::kDefaultWriteTimeout + seconds(2));
    written += entry.size() + 2;
    if (TDebugDevice::GetSerialDropped() > droppedBefore) ++stalledWrites;
  }
  ASSERT_EQ(stalledWrites, 3) << "the terminal never filled";
  const std::uint64_t taken = written - TDebugDevice::GetSerialDropped();
  const std::string received = terminal.Read(taken);
  EXPECT_EQ(received.size(), taken);
  EXPECT_EQ(received.substr(0, Banner().size()), Banner());
}
