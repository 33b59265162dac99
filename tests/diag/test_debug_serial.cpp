#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <string>

#include <termios.h>

#include "DebugDevice.h"
#include "DebugTestUtil.h"
#include "PseudoTerminal.h"
#include "SerialPort.h"

namespace fs = std::filesystem;
using halvorine_test::Banner;
using halvorine_test::TPseudoTerminal;

namespace {

class SerialLog : public ::testing::Test {
protected:
  void SetUp() override {
    HALVORINE_REQUIRE_FRESH_LOG();
    ASSERT_TRUE(FTerminal.IsValid());
    ASSERT_TRUE(FDir.isValid());
  }
  void TearDown() override { TSerialPort::SetDevicePath("COM1", ""); }

  TPseudoTerminal FTerminal;
  QTemporaryDir FDir;
};

}  // namespace

TEST_F(SerialLog, BytesArriveUnchangedAt19200_8N1) {
  TSerialPort::SetDevicePath("COM1", FTerminal.Path());
  TDebugDevice log;
  log.SetMedia(dmSerial);
  log.Open();
  ASSERT_TRUE(TDebugDevice::GetOpened());

  log.WriteLn("Midi is Open");
  log.Write("*");
  log.Write("*");
  TDebugDevice second;  // a second instance writes to the same port, whatever it is set to
  second.SetMedia(dmFile);
  second.Open();
  second.Write("*");
  EXPECT_EQ(second.GetMedia(), dmSerial);
  log.WriteLn(-12);
  // Every byte value, LF alone and CR alone included: nothing may be translated on the way.
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  log.Write(all);
  log.Write("\n\r");

  const std::string expected = Banner() + "Midi is Open\r\n***-12\r\n" + all + "\n\r";
  EXPECT_EQ(FTerminal.Read(expected.size()), expected);
  // Nothing more came between: the next bytes are a marker's.
  log.Write("#end");
  EXPECT_EQ(FTerminal.Read(4), "#end");

  termios t{};
  ASSERT_TRUE(FTerminal.Attributes(t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & PARENB, 0u);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

// Devices that cannot be the port: missing, a plain file, a folder. Nothing is written to them.
class UnusableDevice : public SerialLog, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnusableDevice, LeavesTheLogClosedAndALaterOpenTriesAgain) {
  const fs::path device = fs::path(FDir.path().toStdString()) / "ttyS0";
  const std::string kind = GetParam();
  if (kind == "PlainFile") std::ofstream(device) << "";
  if (kind == "Folder") fs::create_directory(device);
  TSerialPort::SetDevicePath("COM1", device.string());

  TDebugDevice log;
  log.SetMedia(dmSerial);
  EXPECT_NO_THROW(log.Open());
  EXPECT_FALSE(TDebugDevice::GetOpened());
  log.WriteLn("lost");
  EXPECT_EQ(fs::exists(device), kind != "Missing");
  if (kind == "PlainFile") {
    EXPECT_EQ(fs::file_size(device), 0u);
  }

  TSerialPort::SetDevicePath("COM1", FTerminal.Path());
  log.Open();
  EXPECT_TRUE(TDebugDevice::GetOpened());
  log.WriteLn("found");
  const std::string expected = Banner() + "found\r\n";
  EXPECT_EQ(FTerminal.Read(expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(Devices, UnusableDevice,
                         ::testing::Values("Missing", "PlainFile", "Folder"),
                         [](const auto& info) { return std::string(info.param); });
