#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <termios.h>
#include <unistd.h>

#include "PseudoTerminal.h"
#include "SerialPort.h"

using halvorine_test::TPseudoTerminal;

namespace {

struct TGoodText {
  const char* Text;
  const char* Port;
  int Baud;
  TSerialParity Parity;
  int Data;
  int Stop;
};

class GoodSettings : public ::testing::TestWithParam<TGoodText> {};

TEST_P(GoodSettings, Parse) {
  const TGoodText& c = GetParam();
  std::string error;
  const auto s = ParseSerialSettings(c.Text, &error);
  ASSERT_TRUE(s.has_value()) << c.Text << ": " << error;
  EXPECT_EQ(s->Port, c.Port);
  EXPECT_EQ(s->BaudRate, c.Baud);
  EXPECT_EQ(s->Parity, c.Parity);
  EXPECT_EQ(s->DataBits, c.Data);
  EXPECT_EQ(s->StopBits, c.Stop);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GoodSettings,
    ::testing::Values(TGoodText{"COM1:19200,n,8,1", "COM1", 19200, TSerialParity::None, 8, 1},
                      TGoodText{"COM2: 9600, E, 7, 2", "COM2", 9600, TSerialParity::Even, 7, 2},
                      TGoodText{"115200,o,5,1", "", 115200, TSerialParity::Odd, 5, 1},
                      TGoodText{"/dev/ttyUSB0:300,m,6,1", "/dev/ttyUSB0", 300, TSerialParity::Mark,
                                6, 1},
                      TGoodText{"COM3:50,S,8,2", "COM3", 50, TSerialParity::Space, 8, 2}));

class BadSettings : public ::testing::TestWithParam<const char*> {};

TEST_P(BadSettings, RefusedWithAReason) {
  std::string error;
  EXPECT_FALSE(ParseSerialSettings(GetParam(), &error).has_value());
  EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, BadSettings,
                         ::testing::Values("", "COM1:", ":19200,n,8,1", "COM1:19200,n,8",
                                           "COM1:19200,n,8,1,x", "COM1:19201,n,8,1",
                                           "COM1:-19200,n,8,1", "COM1:19200,x,8,1",
                                           "COM1:19200,no,8,1", "COM1:19200,n,9,1",
                                           "COM1:19200,n,4,1", "COM1:19200,n,8,1.5",
                                           "COM1:19200,n,8,0", "COM1:19200,,8,1",
                                           "COM1:fast,n,8,1"));

struct TLine {
  const char* Text;
  tcflag_t Size;
  tcflag_t Set;  // among PARENB, PARODD, CSTOPB
};

class LineSettings : public ::testing::TestWithParam<TLine> {};

TEST_P(LineSettings, RawLineWithTheGivenFrame) {
  const auto s = ParseSerialSettings(GetParam().Text);
  ASSERT_TRUE(s);
  // Start from a cooked terminal's flags: everything that translates bytes must go.
  termios t{};
  t.c_oflag = OPOST | ONLCR;
  t.c_iflag = ICRNL | IXON;
  t.c_lflag = ICANON | ECHO | ISIG;
  t.c_cflag = CS7 | PARENB | CSTOPB;
  ASSERT_TRUE(ApplySerialSettings(*s, t));
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, GetParam().Size);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB), GetParam().Set);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(cfgetospeed(&t), *SerialSpeed(s->BaudRate));
  EXPECT_EQ(cfgetispeed(&t), *SerialSpeed(s->BaudRate));
}

INSTANTIATE_TEST_SUITE_P(Frames, LineSettings,
                         ::testing::Values(TLine{"COM1:19200,n,8,1", CS8, 0},
                                           TLine{"COM1:9600,e,7,1", CS7, PARENB},
                                           TLine{"COM1:2400,o,6,2", CS6, PARENB | PARODD | CSTOPB},
                                           TLine{"COM1:1200,n,5,2", CS5, CSTOPB}));

TEST(LineSettings, RefusesWhatTermiosCannotSay) {
  termios t{};
  t.c_cflag = CS7;
  const termios before = t;
  TSerialSettings s;
  s.BaudRate = 12345;
  EXPECT_FALSE(ApplySerialSettings(s, t));
  s.BaudRate = 9600;
  s.DataBits = 9;
  EXPECT_FALSE(ApplySerialSettings(s, t));
  s.DataBits = 8;
  s.StopBits = 3;
  EXPECT_FALSE(ApplySerialSettings(s, t));
  EXPECT_EQ(t.c_cflag, before.c_cflag);
}

TEST(DevicePath, ComNamesAndOverrides) {
  EXPECT_EQ(TSerialPort::DevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(TSerialPort::DevicePath("com4"), "/dev/ttyS3");
  EXPECT_EQ(TSerialPort::DevicePath("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(TSerialPort::DevicePath("COM0"), "COM0");
  TSerialPort::SetDevicePath("Com1", "/dev/pts/99");
  EXPECT_EQ(TSerialPort::DevicePath("COM1"), "/dev/pts/99");
  EXPECT_EQ(TSerialPort::DevicePath("COM2"), "/dev/ttyS1");
  TSerialPort::SetDevicePath("COM1", "");
  EXPECT_EQ(TSerialPort::DevicePath("COM1"), "/dev/ttyS0");
}

TEST(SerialPort, OpensAPseudoTerminalAndWritesEveryByte) {
  TPseudoTerminal terminal;
  ASSERT_TRUE(terminal.IsValid());
  TSerialPort port;
  EXPECT_FALSE(port.Write("closed"));
  // The text names the device; the second argument is only the fallback.
  // A pseudo-terminal keeps 8 bits without parity whatever it is asked; rate and stop bits stay.
  ASSERT_TRUE(port.Open(terminal.Path() + ":9600,n,8,2", "COM9"));
  termios t{};
  ASSERT_TRUE(terminal.Attributes(t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(CS8 | CSTOPB));
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  // More than a pseudo-terminal buffers at once: the write waits while the reader catches up
  // (given time enough for a busy machine).
  port.SetWriteTimeout(std::chrono::seconds(30));
  std::string big;
  for (int i = 0; i < 20000; ++i) big += static_cast<char>(i % 251);
  std::string received;
  std::thread reader([&] { received = terminal.Read(big.size()); });
  EXPECT_TRUE(port.Write(big));
  reader.join();
  EXPECT_EQ(received, big);

  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.Write("x"));
}

// A terminal nobody reads: once its buffer is full, each write waits its timeout and no longer,
// drops the rest and counts it; what it did take arrives intact once the reader comes.
struct TStall {
  int TimeoutMs;
  std::size_t Chunk;
};

class UnreadTerminal : public ::testing::TestWithParam<TStall> {};

TEST_P(UnreadTerminal, EachWriteReturnsByItsDeadlineAndCountsWhatItDropped) {
  using namespace std::chrono;
  TPseudoTerminal terminal;
  ASSERT_TRUE(terminal.IsValid());
  TSerialPort port;
  ASSERT_TRUE(port.Open("19200,n,8,1", terminal.Path()));
  EXPECT_EQ(port.GetWriteTimeout(), TSerialPort::kDefaultWriteTimeout);
  port.SetWriteTimeout(milliseconds(GetParam().TimeoutMs));

  const auto timeout = milliseconds(GetParam().TimeoutMs);
  std::string expected;
  std::uint64_t written = 0;
  int stalledWrites = 0;
  for (int i = 0; stalledWrites < 3 && i < 1000; ++i) {
    const std::string chunk(GetParam().Chunk, static_cast<char>('a' + i % 26));
    const std::uint64_t droppedBefore = port.DroppedBytes();
    const auto start = steady_clock::now();
    const bool complete = port.Write(chunk);
    const auto took = steady_clock::now() - start;
    const std::uint64_t dropped = port.DroppedBytes() - droppedBefore;
    written += chunk.size();

    EXPECT_LT(took, timeout + seconds(2)) << "write " << i;
    EXPECT_EQ(complete, dropped == 0) << "write " << i;
    ASSERT_LE(dropped, chunk.size());
    if (dropped > 0) {
      ++stalledWrites;
      EXPECT_GE(took, timeout) << "write " << i << " gave up before its time";
    }
    expected += chunk.substr(0, chunk.size() - dropped);
  }
  ASSERT_EQ(stalledWrites, 3) << "the terminal never filled";
  EXPECT_EQ(written - port.DroppedBytes(), expected.size());
  EXPECT_EQ(terminal.Read(expected.size()), expected);
  EXPECT_EQ(terminal.Pending(), "");

  // Drained, the line takes whole writes again.
  EXPECT_TRUE(port.Write("after"));
  EXPECT_EQ(terminal.Read(5), "after");
}

INSTANTIATE_TEST_SUITE_P(Timeouts, UnreadTerminal,
                         ::testing::Values(TStall{100, 4096}, TStall{0, 1000}, TStall{250, 65536},
                                           TStall{-5, 512}));

TEST(SerialPort, TheSecondOpenerIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may open a device held exclusively";
  TPseudoTerminal terminal;
  ASSERT_TRUE(terminal.IsValid());
  TSerialPort first;
  TSerialPort second;
  ASSERT_TRUE(first.Open("19200,n,8,1", terminal.Path()));
  EXPECT_FALSE(second.Open("19200,n,8,1", terminal.Path()));
}

TEST(SerialPort, RefusesWhatIsNoTerminal) {
  TSerialPort port;
  EXPECT_FALSE(port.Open("/dev/null:19200,n,8,1"));
  EXPECT_FALSE(port.Open("/nonexistent/ttyS0:19200,n,8,1"));
  EXPECT_FALSE(port.Open("COM1:19200,q,8,1"));
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace
