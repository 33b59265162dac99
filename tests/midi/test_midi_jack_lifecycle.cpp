// The port against a real JACK server that stalls, and a sink that leaves and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "Eventually.h"
#include "JackHarness.h"
#include "MidiBackend.h"
#include "MidiOut.h"
#include "MidiOutService.h"

namespace {

using TClock = std::chrono::steady_clock;
using TMessages = std::vector<std::vector<std::uint8_t>>;

using halvorine_test::Eventually;

class MidiJackLifecycle : public ::testing::Test {
protected:
  void SetUp() override {
    MidiOutSetBackend(nullptr);
    ASSERT_TRUE(Jack.Start()) << Jack.Error();
    Port.SetDeviceID(TJackHarness::DumpDevice());
    ASSERT_GE(Port.DeviceID(), 0);
    ASSERT_TRUE(Port.Open()) << "ErrorCode " << Port.ErrorCode();
    Port.SendStart();
    ASSERT_TRUE(Jack.WaitForMessages(1, std::chrono::seconds(10)));
  }
  void TearDown() override {
    Jack.PauseServer(false);
    try {
      Port.Close();
    } catch (const EMidiOutError&) {
    }
    Jack.Stop();
  }

  TJackHarness Jack;
  TMidiOut Port;
};

}  // namespace

TEST_F(MidiJackLifecycle, TheOutputPortCarriesTheProgramsName) {
  const std::vector<std::string> ports = Jack.MidiOutputPorts();
  EXPECT_NE(std::find(ports.begin(), ports.end(), "Halvorine:out"), ports.end())
      << (ports.empty() ? "" : ports.front());
}

// While a process has a JACK client open, the JACK library keeps one table of the server's clients
// for it, and an entry of that table can go stale: Close and Open cure that only with no client of
// the program left in between, so the program's one client is opened afresh.
TEST_F(MidiJackLifecycle, CloseAndOpenLeaveNoClientOfTheProgramInBetween) {
  const std::string out = Jack.ClientUuid("Halvorine");
  ASSERT_FALSE(out.empty());
  Port.Close();
  ASSERT_TRUE(Port.Open()) << "ErrorCode " << Port.ErrorCode();
  const std::string reopened = Jack.ClientUuid("Halvorine");
  EXPECT_FALSE(reopened.empty());
  EXPECT_NE(reopened, out);
  Port.SendStop();
  ASSERT_TRUE(Jack.WaitForMessages(2, std::chrono::seconds(10)));
  EXPECT_EQ(Jack.DumpedMessages(), (TMessages{{0xFA}, {0xFC}}));
}

TEST_F(MidiJackLifecycle, AStalledServerHoldsOpenAndCloseOnlyWithinTheirDeadlines) {
  Jack.PauseServer(true);
  auto start = TClock::now();
  EXPECT_NO_THROW(Port.Close()) << "nothing was pending: the client is given up, not waited on";
  EXPECT_LT(TClock::now() - start, std::chrono::seconds(TMidiOut::kCloseWaitSeconds + 2));
  EXPECT_FALSE(Port.IsOpen());

  TMidiOut other;
  other.SetDeviceID(Port.DeviceID());
  start = TClock::now();
  EXPECT_FALSE(other.Open());
  EXPECT_LT(TClock::now() - start, std::chrono::seconds(1)) << "fails at once";
  EXPECT_EQ(other.ErrorCode(), MIDIERR_NOTREADY);

  Jack.PauseServer(false);
  const auto devices = TJackHarness::DumpDevice();
  ASSERT_GE(devices, 0);
  other.SetDeviceID(devices);
  ASSERT_TRUE(other.Open()) << "ErrorCode " << other.ErrorCode();
  other.SendStop();
  ASSERT_TRUE(Jack.WaitForMessages(2, std::chrono::seconds(10)));
  EXPECT_EQ(Jack.DumpedMessages(), (TMessages{{0xFA}, {0xFC}}));
  other.Close();
}

TEST_F(MidiJackLifecycle, ASinkThatReturnsGetsTheLatestValueWithNoFurtherAction) {
  Jack.StopDump();
  ASSERT_TRUE(Eventually([&] { return Port.State().Link == TMidiLink::mlWaiting; }));
  EXPECT_TRUE(Port.IsOpen()) << "to the panel the port stays open";
  for (std::uint8_t value : {1, 2, 3}) Port.SendControlChange(0, 16, value);
  Port.SendNoteOn(0, 60, 100);
  EXPECT_EQ(Port.State().Queued, 2u);
  EXPECT_TRUE(Eventually([&] { return Port.IsBusy(); }))
      << "the waiting messages count as pending output";
  ASSERT_TRUE(Jack.StartDump());
  ASSERT_TRUE(Jack.WaitForMessages(2, std::chrono::seconds(10)));
  Port.SendStop();  // a marker: once it has come, nothing can come twice before it
  ASSERT_TRUE(Jack.WaitForMessages(3, std::chrono::seconds(10)));
  EXPECT_EQ(Jack.DumpedMessages(), (TMessages{{0xB0, 0x10, 0x03}, {0x90, 0x3C, 0x64}, {0xFC}}));
  EXPECT_TRUE(Eventually([&] { return !Port.IsBusy(); }));
}

// Messages waiting for a server that stalls or stops, or for a sink that has left, cannot drain:
// Close (and so quitting) drops them and is done within a second, the close reported.
TEST_F(MidiJackLifecycle, CloseWithMessagesNothingCanDrainIsDoneWithinASecond) {
  enum TWhat { Stall, Stop, SinkAway };
  for (const TWhat what : {Stall, Stop, SinkAway}) {
    SCOPED_TRACE(what);
    if (what != Stall) {
      Jack.Stop();
      ASSERT_TRUE(Jack.Start()) << Jack.Error();
      Port.SetDeviceID(TJackHarness::DumpDevice());
      ASSERT_TRUE(Port.Open()) << "ErrorCode " << Port.ErrorCode();
    }
    if (what == Stall) Jack.PauseServer(true);
    if (what == Stop) Jack.StopServer();
    if (what == SinkAway) Jack.StopDump();
    if (what == SinkAway) {
      ASSERT_TRUE(Eventually([&] { return Port.State().Link == TMidiLink::mlWaiting; }));
    }
    for (std::uint8_t c = 0; c < 100; ++c) Port.SendControlChange(0, c, 1);
    ASSERT_TRUE(Eventually([&] { return Port.IsBusy(); }));
    const auto start = TClock::now();
    EXPECT_NO_THROW(Port.Close());
    EXPECT_LT(TClock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(Port.IsOpen());
    EXPECT_GT(Port.State().Dropped, 0u);
    Jack.PauseServer(false);
  }
}
