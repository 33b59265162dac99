// The serial medium against a terminal that nobody reads. What may stand where the log file goes
// is tried in test_debug_file.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "DebugDevice.h"
#include "DebugTestUtil.h"
#include "PseudoTerminal.h"
#include "SerialPort.h"

using halvorine_test::Banner;
using halvorine_test::TPseudoTerminal;

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
