#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include <termios.h>
#include <unistd.h>

#include "PseudoTerminal.h"
#include "SerialPort.h"

using halvorine_test::TPseudoTerminal;

namespace {

TEST(SerialSettings, ParsedOrRefusedWithAReason) {
  const std::tuple<const char*, const char*, int, TSerialParity, int, int> good[] = {
      {"COM1:19200,n,8,1", "COM1", 19200, TSerialParity::None, 8, 1},
      {"COM2: 9600, E, 7, 2", "COM2", 9600, TSerialParity::Even, 7, 2},
      {"115200,o,5,1", "", 115200, TSerialParity::Odd, 5, 1},
      {"/dev/ttyUSB0:300,m,6,1", "/dev/ttyUSB0", 300, TSerialParity::Mark, 6, 1},
      {"COM3:50,S,8,2", "COM3", 50, TSerialParity::Space, 8, 2},
  };
  for (const auto& [text, port, baud, parity, data, stop] : good) {
    std::string error;
    const auto s = ParseSerialSettings(text, &error);
    ASSERT_TRUE(s.has_value()) << text << ": " << error;
    EXPECT_EQ(std::tie(s->Port, s->BaudRate, s->Parity, s->DataBits, s->StopBits),
              std::make_tuple(std::string(port), baud, parity, data, stop))
        << text;
  }
  for (const char* text :
       {"", "COM1:", ":19200,n,8,1", "COM1:19200,n,8", "COM1:19200,n,8,1,x", "COM1:19201,n,8,1",
        "COM1:-19200,n,8,1", "COM1:19200,x,8,1", "COM1:19200,no,8,1", "COM1:19200,n,9,1",
        "COM1:19200,n,4,1", "COM1:19200,n,8,1.5", "COM1:19200,n,8,0", "COM1:19200,,8,1",
        "COM1:fast,n,8,1"}) {
    std::string error;
    EXPECT_FALSE(ParseSerialSettings(text, &error).has_value()) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// Raw lines with the frame asked for; what termios cannot say is refused and changes nothing.
TEST(LineSettings, RawLineWithTheGivenFrame) {
  const std::pair<const char*, tcflag_t> frames[] = {
      // size and PARENB, PARODD, CSTOPB
      {"COM1:19200,n,8,1", CS8},
      {"COM1:9600,e,7,1", CS7 | PARENB},
      {"COM1:2400,o,6,2", CS6 | PARENB | PARODD | CSTOPB},
      {"COM1:1200,n,5,2", CS5 | CSTOPB}};
  for (const auto& [text, frame] : frames) {
    SCOPED_TRACE(text);
    const auto s = ParseSerialSettings(text);
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
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), frame);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&t), *SerialSpeed(s->BaudRate));
    EXPECT_EQ(cfgetispeed(&t), *SerialSpeed(s->BaudRate));
  }
  termios t{};
  t.c_cflag = CS7;
  for (const auto& [baud, data, stop] : {std::tuple{12345, 8, 1}, {9600, 9, 1}, {9600, 8, 3}}) {
    TSerialSettings s;
    s.BaudRate = baud;
    s.DataBits = data;
    s.StopBits = stop;
    EXPECT_FALSE(ApplySerialSettings(s, t)) << baud << " " << data << " " << stop;
  }
  EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS7));
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

// What is no terminal, or has unusable settings, is refused, and so is a second opener.
TEST(SerialPort, OpensAPseudoTerminalAndWritesEveryByteAndRefusesWhatItCannotHold) {
  TPseudoTerminal terminal;
  ASSERT_TRUE(terminal.IsValid());
  TSerialPort port;
  EXPECT_FALSE(port.Open("/dev/null:19200,n,8,1"));
  EXPECT_FALSE(port.Open("/nonexistent/ttyS0:19200,n,8,1"));
  EXPECT_FALSE(port.Open(terminal.Path() + ":19200,q,8,1"));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.Write("closed"));
  // The text names the device; the second argument is only the fallback.
  // A pseudo-terminal keeps 8 bits without parity whatever it is asked; rate and stop bits stay.
  ASSERT_TRUE(port.Open(terminal.Path() + ":9600,n,8,2", "COM9"));
  termios t{};
  ASSERT_TRUE(terminal.Attributes(t));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(CS8 | CSTOPB));
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  if (::geteuid() != 0) {  // root may open a device held exclusively
    EXPECT_FALSE(TSerialPort().Open("19200,n,8,1", terminal.Path()));
  }

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
// The write timeout in ms and the size of each write.
class UnreadTerminal : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(UnreadTerminal, EachWriteReturnsByItsDeadlineAndCountsWhatItDropped) {
  using namespace std::chrono;
  TPseudoTerminal terminal;
  ASSERT_TRUE(terminal.IsValid());
  TSerialPort port;
  ASSERT_TRUE(port.Open("19200,n,8,1", terminal.Path()));
  EXPECT_EQ(port.GetWriteTimeout(), TSerialPort::kDefaultWriteTimeout);
  port.SetWriteTimeout(milliseconds(GetParam().first));

  const auto timeout = milliseconds(GetParam().first);
  std::string expected;
  std::uint64_t written = 0;
  int stalledWrites = 0;
  for (int i = 0; stalledWrites < 3 && i < 1000; ++i) {
    const std::string chunk(static_cast<std::size_t>(GetParam().second),
                            static_cast<char>('a' + i % 26));
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
  // Drained, the line takes whole writes again; the first bytes after those kept are the marker's.
  EXPECT_TRUE(port.Write("after"));
  EXPECT_EQ(terminal.Read(5), "after");
}

INSTANTIATE_TEST_SUITE_P(Timeouts, UnreadTerminal,
                         ::testing::Values(std::pair{100, 4096}, std::pair{0, 1000},
                                           std::pair{250, 65536}, std::pair{-5, 512}));

}  // namespace
