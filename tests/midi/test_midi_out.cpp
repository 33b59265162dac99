#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <QVariant>

#include "Eventually.h"
#include "MidiOut.h"
#include "RecordingMidiBackend.h"
#include "TickCount.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

class MidiOut : public ::testing::Test {
protected:
  TRecordingMidiService Midi{{"Drum Machine", "Other"}};
};

}  // namespace

// Each send makes exactly its bytes, in the order given, on the chosen device. Out-of-range
// arguments lose their high bits instead of forming another status byte.
TEST_F(MidiOut, SendsExactlyTheseBytesInOrderOnTheChosenDevice) {
  const std::pair<std::function<MMRESULT(TMidiOut&)>, TBytes> cases[] = {
      {[](TMidiOut& p) { return p.SendControlChange(3, 20, 127); }, {0xB3, 0x14, 0x7F}},
      {[](TMidiOut& p) { return p.SendControlChange(0, 0, 0); }, {0xB0, 0x00, 0x00}},
      {[](TMidiOut& p) { return p.SendControlChange(15, 108, 64); }, {0xBF, 0x6C, 0x40}},
      {[](TMidiOut& p) { return p.SendNoteOn(9, 36, 100); }, {0x99, 0x24, 0x64}},
      {[](TMidiOut& p) { return p.SendNoteOn(15, 127, 127); }, {0x9F, 0x7F, 0x7F}},
      {[](TMidiOut& p) { return p.SendNoteOff(9, 36); }, {0x99, 0x24, 0x00}},
      {[](TMidiOut& p) { return p.SendStart(); }, {0xFA}},
      {[](TMidiOut& p) { return p.SendContinue(); }, {0xFB}},
      {[](TMidiOut& p) { return p.SendStop(); }, {0xFC}},
      {[](TMidiOut& p) { return p.SendControlChange(0x4A, 1, 2); }, {0xBA, 0x01, 0x02}},
      {[](TMidiOut& p) { return p.SendNoteOn(0x23, 60, 1); }, {0x93, 0x3C, 0x01}},
      {[](TMidiOut& p) { return p.SendControlChange(1, 0xFA, 0x80); }, {0xB1, 0x7A, 0x00}},
      {[](TMidiOut& p) { return p.SendNoteOff(2, 200); }, {0x92, 0x48, 0x00}}};
  TMidiOut port;
  port.SetDeviceID(1);
  ASSERT_TRUE(port.Open());
  std::vector<TRecordedMessage> expected;
  for (const auto& [send, bytes] : cases) {
    EXPECT_EQ(send(port), MMSYSERR_NOERROR);
    expected.push_back({"Other", bytes});
  }
  EXPECT_EQ(Midi->Messages(), expected);
}

// A new port's defaults; sends on a port not open are refused and lost.
TEST_F(MidiOut, ANewPortHasItsDefaultsAndSendsOnlyWhileOpen) {
  TMidiOut port;
  EXPECT_EQ(port.DeviceID(), 0);
  EXPECT_EQ(port.ErrorCode(), 0);
  EXPECT_EQ(port.GetChannel(), 1);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.IsBusy());
  EXPECT_EQ(port.property("DeviceID").toInt(), 0);
  EXPECT_EQ(port.property("Channel").toInt(), 1);
  EXPECT_EQ(port.SendControlChange(0, 1, 2), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(port.SendStart(), MMSYSERR_INVALHANDLE);
  ASSERT_TRUE(port.Open());
  port.Close();
  EXPECT_EQ(port.SendNoteOn(0, 60, 1), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(port.SendStop(), MMSYSERR_INVALHANDLE);
  EXPECT_TRUE(Midi->Messages().empty());
}

TEST(MidiOutChannel, ClampsToOneToSixteen) {
  const std::pair<int, int> cases[] = {{0, 1},   {-5, 1},  {1, 1},    {10, 10},
                                       {16, 16}, {17, 16}, {1000, 16}};
  for (auto [set, read] : cases) {
    TMidiOut port;
    port.SetChannel(set);
    EXPECT_EQ(port.GetChannel(), read) << set;
    EXPECT_EQ(port.Channel(), read) << set;
  }
  TMidiOut port;
  port.setProperty("Channel", 0);
  EXPECT_EQ(port.GetChannel(), 1);
}

TEST_F(MidiOut, SixteenPortsAtMostAndTheLowestFreeSlotIsReused) {
  std::vector<std::unique_ptr<TMidiOut>> ports;
  for (int i = 0; i < TMidiOut::kPoolSize; ++i) {
    ports.push_back(std::make_unique<TMidiOut>());
    EXPECT_EQ(ports.back()->PoolIndex(), i);
  }
  try {
    TMidiOut extra;
    FAIL() << "a seventeenth port was made";
  } catch (const std::runtime_error& e) {  // any caller can catch it
    EXPECT_STREQ(e.what(), "error: Midiout pool full");
  }
  // The sixteen are untouched: each still opens its own device slot.
  ASSERT_TRUE(ports[0]->Open());
  EXPECT_TRUE(ports[0]->IsOpen());
  EXPECT_FALSE(ports[1]->IsOpen());
  ports[0]->Close();

  ports[9].reset();
  ports[4].reset();
  TMidiOut next;
  EXPECT_EQ(next.PoolIndex(), 4);
  TMidiOut after;
  EXPECT_EQ(after.PoolIndex(), 9);
  EXPECT_THROW(TMidiOut(), EMidiOutError);
}

// An open port opens at once whatever DeviceID holds; an error code outlives a success.
TEST_F(MidiOut, OpenWithNoDeviceFailsWithTwoCallingNothingAndAnOpenPortIsNotOpenedAgain) {
  TMidiOut port;
  port.SetDeviceID(-1);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.ErrorCode(), 2);
  EXPECT_EQ(Midi->OpenCalls(), 0);
  EXPECT_EQ(Midi->ListCalls(), 0);
  port.SetDeviceID(0);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.ErrorCode(), 2);
  for (int id : {-1, 1, 99}) {
    port.SetDeviceID(id);
    EXPECT_TRUE(port.Open());
  }
  EXPECT_EQ(Midi->OpenCalls(), 1);
}

TEST_F(MidiOut, OpenRefusedByTheServiceKeepsTheServicesCode) {
  struct TCase {
    std::function<void()> Arrange;
    int DeviceID;
    int Code;
  };
  const TCase cases[] = {
      {[&] { Midi->RefuseOpen(MMSYSERR_ALLOCATED); }, 0, MMSYSERR_ALLOCATED},
      {[&] { Midi->RefuseOpen(MMSYSERR_NOMEM); }, 0, MMSYSERR_NOMEM},
      {[&] { Midi->HoldDevice("Drum Machine", true); }, 0, MMSYSERR_ALLOCATED},
      {[] {}, 2, MMSYSERR_BADDEVICEID},
      {[] {}, 12345, MMSYSERR_BADDEVICEID},
  };
  for (const TCase& c : cases) {
    Midi->RefuseOpen(MMSYSERR_NOERROR);
    Midi->HoldDevice("Drum Machine", false);
    c.Arrange();
    TMidiOut port;
    port.SetDeviceID(c.DeviceID);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.ErrorCode(), c.Code);
    EXPECT_FALSE(port.IsOpen());
  }
  EXPECT_EQ(Midi->OpenPorts(), 0);
}

TEST_F(MidiOut, ATimedOutOpenCanBeRetriedOnTheSameDevice) {
  Midi->SetReportOpen(false);
  TMidiOut port;
  {
    TManualTickCount clock(0, 1000);
    ASSERT_FALSE(port.Open());
  }
  Midi->SetReportOpen(true);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(Midi->OpenCalls(), 2);
  EXPECT_EQ(Midi->CloseCalls(), 1) << "the abandoned open was closed before the new one";
  EXPECT_EQ(Midi->OpenPorts(), 1);
  EXPECT_EQ(port.SendStart(), MMSYSERR_NOERROR);
  EXPECT_EQ(Midi->Bytes(), TBytes{0xFA});
}

TEST(Deadline, ExpiresStrictlyAfterItsTickAlsoAcrossTheWrap) {
  struct TCase {
    std::uint32_t Start;
    std::uint32_t Seconds;
    std::uint32_t Now;
    bool Expired;
  };
  const TCase cases[] = {
      {1000, 5, 6000, false},
      {1000, 5, 6001, true},
      {1000, 20, 21000, false},
      {1000, 20, 21001, true},
      {0xFFFFF000u, 5, 0xFFFFFFFFu, false},
      {0xFFFFF000u, 5, 0x00000388u, false},
      {0xFFFFF000u, 5, 0x00000389u, true},
      {0xFFFFFFFFu, 5, 5000, true},
  };
  for (const TCase& c : cases) {
    TManualTickCount clock(c.Start, 0);
    TDeadline d;
    d.Start(c.Seconds);
    EXPECT_FALSE(d.Expired);
    clock.Set(c.Now);
    EXPECT_EQ(d.Check(), c.Expired) << c.Start << " + " << c.Seconds << " s at " << c.Now;
    EXPECT_EQ(d.Expired, c.Expired);
  }
}

TEST_F(MidiOut, CloseAndDestructionCloseTheDeviceOnceAndReleaseTheSlot) {
  {
    TMidiOut port;
    port.Close();
    EXPECT_EQ(Midi->CloseCalls(), 0) << "nothing to close";
    ASSERT_TRUE(port.Open());
    port.Close();
    port.Close();
    EXPECT_EQ(Midi->CloseCalls(), 1);
    EXPECT_FALSE(port.IsOpen());
    ASSERT_TRUE(port.Open());
  }
  EXPECT_EQ(Midi->CloseCalls(), 2) << "destroyed open";
  auto owner = std::make_unique<QObject>();
  ASSERT_TRUE((new TMidiOut(owner.get()))->Open());
  owner.reset();
  EXPECT_EQ(Midi->OpenPorts(), 0);
  TMidiOut next;
  EXPECT_EQ(next.PoolIndex(), 0);
}

// Nothing drains to a device that has gone, or that refuses every message (a stalled server):
// Close does not wait the 20 s for it, but closes within a second, reports the close, and counts
// what it dropped.
TEST_F(MidiOut, CloseWithADeviceThatCannotTakeMessagesClosesPromptly) {
  for (const bool away : {true, false}) {
    SCOPED_TRACE(away ? "device away" : "device refusing");
    TMidiOut port;
    ASSERT_TRUE(port.Open());
    if (away) Midi->SetDevices({});
    if (!away) Midi->SetWire(kMidiDinRate, 0);
    port.SendControlChange(0, 16, 1);
    port.SendNoteOn(0, 60, 1);
    ASSERT_TRUE(halvorine_test::Eventually([&] { return port.IsBusy(); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(port.Close());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(port.IsOpen()) << "the close was reported";
    EXPECT_EQ(port.State().Dropped, 2u);
    EXPECT_TRUE(Midi->Messages().empty());
    Midi->SetDevices({"Drum Machine", "Other"});
    Midi->SetWire(0, 0);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.State().Dropped, 0u) << "counted until the next open";
    port.Close();
  }
}

// A device that never reports closed, output that never drains, an open never reported: the
// destruction gives up on each (on a clock that passes the waits in a few reads), raises nothing,
// closes the device handle and frees the slot for a port that starts closed.
TEST_F(MidiOut, DestructionNeverThrowsAndReleasesEverything) {
  for (const auto& [opens, reportsClose, pending] :
       {std::tuple{true, false, false}, {true, true, true}, {false, true, false}}) {
    SCOPED_TRACE(testing::Message() << opens << reportsClose << pending);
    Midi->SetReportOpen(opens);
    Midi->SetReportClose(reportsClose);
    auto port = std::make_unique<TMidiOut>();
    if (opens) {
      ASSERT_TRUE(port->Open());
    }
    if (pending) {
      Midi->HoldOutput(true);
      port->SendStart();
      ASSERT_TRUE(halvorine_test::Eventually([&] { return port->IsBusy(); }));
    }
    {
      TManualTickCount clock(0, 1000);
      if (!opens) {
        ASSERT_FALSE(port->Open());
      }
      EXPECT_NO_THROW(port.reset());
    }
    EXPECT_EQ(Midi->OpenPorts(), 0) << "the device handle was closed";
    Midi->SetReportOpen(true);
    Midi->SetReportClose(true);
    Midi->HoldOutput(false);
    TMidiOut next;
    EXPECT_EQ(next.PoolIndex(), 0) << "the slot was released";
    EXPECT_FALSE(next.IsOpen()) << "and starts closed";
    EXPECT_FALSE(next.IsBusy());
    EXPECT_TRUE(next.Open());
    next.Close();
  }
}
