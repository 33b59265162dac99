#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QVariant>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DebugDevice.h"
#include "DebugTestUtil.h"

namespace fs = std::filesystem;
using halvorine_test::Banner;
using halvorine_test::ReadBytes;

namespace {

// A log folder of the test's own, so that parallel test processes never share a Debug.txt.
class FileLog : public ::testing::Test {
protected:
  void SetUp() override {
    HALVORINE_REQUIRE_FRESH_LOG();
    ASSERT_TRUE(FDir.isValid());
    TDebugDevice::SetLogFolder(Folder().string());
  }
  fs::path Folder() const { return fs::path(FDir.path().toStdString()); }
  fs::path LogFile() const { return Folder() / "Debug.txt"; }

  QTemporaryDir FDir;
};

}  // namespace

TEST(LogFolder, DefaultsToTheExecutablesFolder) {
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(TDebugDevice::LogFolder(), exe.parent_path().string());
  EXPECT_EQ(TDebugDevice::LogFilePath(), (exe.parent_path() / "Debug.txt").string());
  TDebugDevice::SetLogFolder("/some/where/");
  EXPECT_EQ(TDebugDevice::LogFilePath(), "/some/where/Debug.txt");
  TDebugDevice::SetLogFolder("");
  EXPECT_EQ(TDebugDevice::LogFolder(), exe.parent_path().string());
}

TEST_F(FileLog, ExactBytesWithCrLfEachWriteFlushedAndIntegersInDecimal) {
  {
    std::ofstream old(LogFile(), std::ios::binary);
    old << std::string(500, 'x') << "\r\nleft from an earlier run\r\n";
  }
  TDebugDevice log;
  log.SetMedia(dmFile);
  log.Open();
  ASSERT_TRUE(TDebugDevice::GetOpened());
  EXPECT_EQ(ReadBytes(LogFile()),
            "**************************\r\n"
            "* Start of debug session *\r\n"
            "**************************\r\n");

  std::string expected = Banner();
  const auto write = [&](const std::string& text) {
    log.Write(text);
    expected += text;
    // Each entry is in the file at once: a crash after it would not lose it.
    EXPECT_EQ(ReadBytes(LogFile()), expected);
  };
  log.WriteLn("Midi is Open");
  expected += "Midi is Open\r\n";
  write("*");
  write("*");
  for (const std::int32_t value : {-12, 0, 16, INT32_MAX, INT32_MIN}) {
    log.WriteLn(value);
    expected += std::to_string(value) + "\r\n";
  }
  EXPECT_EQ(ReadBytes(LogFile()), Banner() +
                                      "Midi is Open\r\n**-12\r\n0\r\n16\r\n2147483647\r\n"
                                      "-2147483648\r\n");
  std::string all;  // every byte value passes unchanged
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  write(all + "\n");
}

TEST_F(FileLog, SecondOpenAndSecondInstanceShareTheState) {
  auto* first = new TDebugDevice;
  first->SetMedia(dmFile);
  first->Open();
  first->Open();
  EXPECT_EQ(ReadBytes(LogFile()), Banner());

  {
    TDebugDevice second;
    EXPECT_EQ(second.GetMedia(), dmFile);
    second.SetMedia(dmNull);
    EXPECT_EQ(second.GetMedia(), dmFile);
    second.Open();
    second.WriteLn("from the second");
  }
  // Destroying instances neither closes the log nor writes anything.
  delete first;
  EXPECT_EQ(ReadBytes(LogFile()), Banner() + "from the second\r\n");
  TDebugDevice third;
  third.Write("third");
  EXPECT_EQ(ReadBytes(LogFile()), Banner() + "from the second\r\nthird");
}

// What can stand where the log goes: a folder that refuses the file (root passes permission
// checks, so a read-only folder is only among them for other users), or what must not be written
// through or waited on (opening a FIFO nobody reads would wait for a reader for ever). Make puts it
// in `folder`; Untouched says it is as it was.
struct TBlocked {
  const char* Name;
  std::function<void(const fs::path& folder)> Make;
  std::function<bool(const fs::path& folder)> Untouched;
};

class BlockedLog : public FileLog, public ::testing::WithParamInterface<TBlocked> {};

TEST_P(BlockedLog, LeavesTheLogClosedAndALaterOpenTriesAgain) {
  const fs::path folder = Folder() / "log";
  GetParam().Make(folder);
  if (IsSkipped()) return;
  TDebugDevice::SetLogFolder(folder.string());
  TDebugDevice log;
  log.SetMedia(dmFile);
  EXPECT_NO_THROW(log.Open());
  EXPECT_FALSE(TDebugDevice::GetOpened());
  log.Write("*");
  log.WriteLn("lost");
  log.WriteLn(5);
  EXPECT_TRUE(GetParam().Untouched(folder));
  if (fs::exists(folder)) fs::permissions(folder, fs::perms::owner_all);

  // Still closed, so the medium can change and a later Open tries again.
  log.SetMedia(dmNull);
  log.SetMedia(dmFile);
  TDebugDevice::SetLogFolder(Folder().string());
  log.Open();
  EXPECT_TRUE(TDebugDevice::GetOpened());
  log.WriteLn("found");
  EXPECT_EQ(ReadBytes(LogFile()), Banner() + "found\r\n");
  // The open file is not handed on to programs this one starts.
  int descriptors = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (fs::read_symlink(entry.path(), error) != fs::canonical(LogFile())) continue;
    ++descriptors;
    EXPECT_NE(::fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC, 0);
  }
  EXPECT_EQ(descriptors, 1);
}

// A link at the log's place, to `target` in the same folder.
void LinkTo(const fs::path& folder, const char* target, const std::function<void()>& make) {
  fs::create_directory(folder);
  if (make) make();
  fs::create_symlink(folder / target, folder / "Debug.txt");
}

INSTANTIATE_TEST_SUITE_P(
    Places, BlockedLog,
    ::testing::Values(
        TBlocked{"Missing", [](const fs::path&) {},
                 [](const fs::path& f) { return !fs::exists(f); }},
        TBlocked{"IsAFile", [](const fs::path& f) { std::ofstream(f) << "a file"; },
                 [](const fs::path& f) { return ReadBytes(f) == "a file"; }},
        TBlocked{"LogIsAFolder", [](const fs::path& f) { fs::create_directories(f / "Debug.txt"); },
                 [](const fs::path& f) { return fs::is_empty(f / "Debug.txt"); }},
        TBlocked{"ReadOnly",
                 [](const fs::path& f) {
                   if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
                   fs::create_directory(f);
                   fs::permissions(f, fs::perms::owner_read | fs::perms::owner_exec);
                 },
                 [](const fs::path& f) { return fs::is_empty(f); }},
        TBlocked{"LinkToFile",
                 [](const fs::path& f) {
                   LinkTo(f, "precious", [&] { std::ofstream(f / "precious") << "keep me"; });
                 },
                 [](const fs::path& f) { return ReadBytes(f / "precious") == "keep me"; }},
        TBlocked{"DanglingLink", [](const fs::path& f) { LinkTo(f, "precious", {}); },
                 [](const fs::path& f) { return !fs::exists(fs::symlink_status(f / "precious")); }},
        TBlocked{"LinkToFolder",
                 [](const fs::path& f) {
                   LinkTo(f, "precious", [&] { fs::create_directory(f / "precious"); });
                 },
                 [](const fs::path& f) { return fs::is_empty(f / "precious"); }},
        TBlocked{"Fifo",
                 [](const fs::path& f) {
                   fs::create_directory(f);
                   ASSERT_EQ(::mkfifo((f / "Debug.txt").c_str(), 0600), 0);
                 },
                 [](const fs::path& f) { return fs::is_fifo(f / "Debug.txt"); }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FileLog, NullMediumOpensAndDiscardsEverything) {
  TDebugDevice log;
  EXPECT_EQ(log.GetMedia(), dmNull);
  log.Open();
  EXPECT_TRUE(TDebugDevice::GetOpened());
  log.WriteLn("nowhere");
  log.Write("*");
  log.SetMedia(dmFile);
  EXPECT_EQ(log.GetMedia(), dmNull);
  log.Open();
  log.WriteLn("still nowhere");
  EXPECT_TRUE(fs::is_empty(Folder()));
}

// The medium is set by name and unknown values are refused. This program has no application
// object, without which the bus cannot be used: the monitor medium's Open throws.
TEST(MediaProperty, SetByNameAndRefusingUnknownValuesAndTheMonitorWithoutApplication) {
  HALVORINE_REQUIRE_FRESH_LOG();
  TDebugDevice log;
  EXPECT_TRUE(log.setProperty("Media", QVariant::fromValue(dmSerial)));
  EXPECT_EQ(log.GetMedia(), dmSerial);
  EXPECT_EQ(log.property("Media").value<TDebugMedia>(), dmSerial);
  log.SetMedia(static_cast<TDebugMedia>(4));
  EXPECT_EQ(log.GetMedia(), dmSerial);
  log.SetMedia(dmFile);
  EXPECT_EQ(TDebugDevice().GetMedia(), dmFile);
  EXPECT_FALSE(TDebugDevice::GetOpened());
  log.SetMedia(dmWindow);
  EXPECT_THROW(log.Open(), EOleError);
  EXPECT_FALSE(TDebugDevice::GetOpened());
  EXPECT_NO_THROW(log.WriteLn("nowhere"));
}
