#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QVariant>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

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

// Ways a log folder can refuse the file; root passes permission checks, so a read-only folder is
// only among them for other users.
enum class TBadFolder { Missing, IsAFile, LogIsAFolder, ReadOnly };

class UnwritableFolder : public FileLog, public ::testing::WithParamInterface<TBadFolder> {};

TEST_P(UnwritableFolder, LeavesTheLogClosedAndALaterOpenTriesAgain) {
  fs::path folder = Folder() / "log";
  switch (GetParam()) {
    case TBadFolder::Missing:
      break;
    case TBadFolder::IsAFile:
      std::ofstream(folder) << "a file";
      break;
    case TBadFolder::LogIsAFolder:
      fs::create_directories(folder / "Debug.txt");
      break;
    case TBadFolder::ReadOnly:
      if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
      fs::create_directory(folder);
      fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
      break;
  }
  TDebugDevice::SetLogFolder(folder.string());
  TDebugDevice log;
  log.SetMedia(dmFile);
  EXPECT_NO_THROW(log.Open());
  EXPECT_FALSE(TDebugDevice::GetOpened());
  log.Write("*");
  log.WriteLn("lost");
  log.WriteLn(5);
  EXPECT_FALSE(fs::is_regular_file(folder / "Debug.txt"));
  if (GetParam() == TBadFolder::ReadOnly) fs::permissions(folder, fs::perms::owner_all);

  // Still closed, so the medium can change and a later Open tries again.
  log.SetMedia(dmNull);
  log.SetMedia(dmFile);
  TDebugDevice::SetLogFolder(Folder().string());
  log.Open();
  EXPECT_TRUE(TDebugDevice::GetOpened());
  log.WriteLn("found");
  EXPECT_EQ(ReadBytes(LogFile()), Banner() + "found\r\n");
}

const char* const kNames[] = {"Missing", "IsAFile", "LogIsAFolder", "ReadOnly"};

INSTANTIATE_TEST_SUITE_P(Folders, UnwritableFolder,
                         ::testing::Values(TBadFolder::Missing, TBadFolder::IsAFile,
                                           TBadFolder::LogIsAFolder, TBadFolder::ReadOnly),
                         [](const auto& info) { return std::string(kNames[int(info.param)]); });

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

// This program has no application object, without which the bus cannot be used.
TEST(WindowWithoutApplication, OpenThrowsAndTheLogStaysClosed) {
  HALVORINE_REQUIRE_FRESH_LOG();
  TDebugDevice log;
  log.SetMedia(dmWindow);
  EXPECT_THROW(log.Open(), EOleError);
  EXPECT_FALSE(TDebugDevice::GetOpened());
  EXPECT_NO_THROW(log.WriteLn("nowhere"));
}

TEST(MediaProperty, SetByNameAndRefusingUnknownValues) {
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
}
