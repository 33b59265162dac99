#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QVariant>

#include "Eventually.h"
#include "MidiOut.h"
#include "MidiOutSlots.h"
#include "RecordingMidiBackend.h"
#include "TickCount.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

// Waits in real time (at most 5 s) for something the service's threads bring about.
template <typename TDone>
bool WaitFor(TDone done) {
  return halvorine_test::Eventually(done, std::chrono::seconds(5));
}

class MidiOut : public ::testing::Test {
protected:
  TRecordingMidiService Midi{{"Drum Machine", "Other"}};
};

struct TSendCase {
  std::string Name;
  std::function<MMRESULT(TMidiOut&)> Send;
  TBytes Bytes;
};

void PrintTo(const TSendCase& c, std::ostream* os) { *os << c.Name; }

class MidiOutSend : public ::testing::TestWithParam<TSendCase> {
protected:
  TRecordingMidiService Midi;
};

}  // namespace

TEST_P(MidiOutSend, SendsExactlyTheseBytes) {
  TMidiOut port;
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(GetParam().Send(port), MMSYSERR_NOERROR);
  ASSERT_EQ(Midi->Messages().size(), 1u);
  EXPECT_EQ(Midi->Messages()[0].Bytes, GetParam().Bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MidiOutSend,
    ::testing::Values(
        TSendCase{"ControlChange",
                  [](TMidiOut& p) { return p.SendControlChange(3, 20, 127); },
                  {0xB3, 0x14, 0x7F}},
        TSendCase{"ControlChangeLowest",
                  [](TMidiOut& p) { return p.SendControlChange(0, 0, 0); },
                  {0xB0, 0x00, 0x00}},
        TSendCase{"ControlChangeChannel16",
                  [](TMidiOut& p) { return p.SendControlChange(15, 108, 64); },
                  {0xBF, 0x6C, 0x40}},
        TSendCase{
            "NoteOn", [](TMidiOut& p) { return p.SendNoteOn(9, 36, 100); }, {0x99, 0x24, 0x64}},
        TSendCase{"NoteOnHighest",
                  [](TMidiOut& p) { return p.SendNoteOn(15, 127, 127); },
                  {0x9F, 0x7F, 0x7F}},
        TSendCase{"NoteOff", [](TMidiOut& p) { return p.SendNoteOff(9, 36); }, {0x99, 0x24, 0x00}},
        TSendCase{"Start", [](TMidiOut& p) { return p.SendStart(); }, {0xFA}},
        TSendCase{"Continue", [](TMidiOut& p) { return p.SendContinue(); }, {0xFB}},
        TSendCase{"Stop", [](TMidiOut& p) { return p.SendStop(); }, {0xFC}},
        // Out-of-range arguments lose their high bits instead of forming another status byte.
        TSendCase{"ChannelAbove15StaysAControlChange",
                  [](TMidiOut& p) { return p.SendControlChange(0x4A, 1, 2); },
                  {0xBA, 0x01, 0x02}},
        TSendCase{"ChannelAbove15StaysANoteOn",
                  [](TMidiOut& p) { return p.SendNoteOn(0x23, 60, 1); },
                  {0x93, 0x3C, 0x01}},
        TSendCase{"DataAbove127StaysData",
                  [](TMidiOut& p) { return p.SendControlChange(1, 0xFA, 0x80); },
                  {0xB1, 0x7A, 0x00}},
        TSendCase{"NoteOffKeyAbove127",
                  [](TMidiOut& p) { return p.SendNoteOff(2, 200); },
                  {0x92, 0x48, 0x00}}),
    [](const auto& info) { return info.param.Name; });

TEST_F(MidiOut, SendsInTheOrderGivenOnTheChosenDevice) {
  TMidiOut port;
  port.SetDeviceID(1);
  ASSERT_TRUE(port.Open());
  port.SendStart();
  port.SendControlChange(0, 16, 1);
  port.SendNoteOn(1, 60, 90);
  port.SendNoteOff(1, 60);
  port.SendStop();
  EXPECT_EQ(Midi->Bytes(),
            (TBytes{0xFA, 0xB0, 0x10, 0x01, 0x91, 0x3C, 0x5A, 0x91, 0x3C, 0x00, 0xFC}));
  for (const TRecordedMessage& m : Midi->Messages()) EXPECT_EQ(m.Device, "Other");
}

TEST_F(MidiOut, ANewPortHasItsDefaults) {
  TMidiOut port;
  EXPECT_EQ(port.DeviceID(), 0);
  EXPECT_EQ(port.ErrorCode(), 0);
  EXPECT_EQ(port.GetChannel(), 1);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.IsBusy());
  EXPECT_EQ(port.property("DeviceID").toInt(), 0);
  EXPECT_EQ(port.property("Channel").toInt(), 1);
}

TEST_F(MidiOut, SendsOnAPortNotOpenAreRefusedAndLost) {
  TMidiOut port;
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

TEST_F(MidiOut, OpenWithNoDeviceFailsWithTwoAndCallsNothingAndTheCodeOutlivesASuccess) {
  TMidiOut port;
  port.SetDeviceID(-1);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.ErrorCode(), 2);
  EXPECT_EQ(Midi->OpenCalls(), 0);
  EXPECT_EQ(Midi->ListCalls(), 0);
  port.SetDeviceID(0);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(port.ErrorCode(), 2);
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

TEST_F(MidiOut, OpenOnAnOpenPortReturnsAtOnceWhateverDeviceIDHolds) {
  TMidiOut port;
  ASSERT_TRUE(port.Open());
  for (int id : {-1, 1, 99}) {
    port.SetDeviceID(id);
    EXPECT_TRUE(port.Open());
  }
  EXPECT_EQ(Midi->OpenCalls(), 1);
  EXPECT_EQ(port.ErrorCode(), 0);
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

TEST_F(MidiOut, CloseWaitsForPendingOutput) {
  TMidiOut port;
  ASSERT_TRUE(port.Open());
  Midi->HoldOutput(true);
  port.SendStart();
  ASSERT_TRUE(WaitFor([&] { return port.IsBusy(); }));
  // The clock stands still: the wait reads it without end, and the output goes once it has been
  // read twice, which a Close that does not wait does only after the device's close.
  TManualTickCount clock(0, 0);
  int closesAtRelease = -1;
  std::thread release([&] {
    EXPECT_TRUE(WaitFor([&] { return clock.Reads() >= 2; }));
    closesAtRelease = Midi->CloseCalls();
    Midi->ReleaseOutput();
  });
  port.Close();
  release.join();
  EXPECT_EQ(closesAtRelease, 0) << "the device was closed before its output went";
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.State().Dropped, 0u);
  EXPECT_EQ(Midi->CloseCalls(), 1);
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
    ASSERT_TRUE(WaitFor([&] { return port.IsBusy(); }));
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

TEST_F(MidiOut, DestructionNeverThrowsAndReleasesEverything) {
  struct TCase {
    std::string Name;
    std::function<void(TMidiOut&)> Arrange;
  };
  const TCase cases[] = {
      {"NeverReportsClosed", [&](TMidiOut&) { Midi->SetReportClose(false); }},
      {"OutputPending",
       [&](TMidiOut& p) {
         Midi->HoldOutput(true);
         p.SendStart();
         ASSERT_TRUE(WaitFor([&] { return p.IsBusy(); }));
       }},
      {"OpenNeverReported", [&](TMidiOut&) {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Midi->SetReportOpen(c.Name != "OpenNeverReported");
    Midi->SetReportClose(true);
    Midi->HoldOutput(false);
    auto port = std::make_unique<TMidiOut>();
    if (c.Name != "OpenNeverReported") {
      ASSERT_TRUE(port->Open());
    }
    {
      TManualTickCount clock(0, 1000);
      if (c.Name == "OpenNeverReported") {
        ASSERT_FALSE(port->Open());
      }
      c.Arrange(*port);
      EXPECT_NO_THROW(port.reset());
    }
    EXPECT_EQ(Midi->OpenPorts(), 0) << "the device handle was closed";
    TMidiOut next;
    EXPECT_EQ(next.PoolIndex(), 0) << "the slot was released";
    EXPECT_FALSE(next.IsOpen()) << "and starts closed";
    EXPECT_FALSE(next.IsBusy());
    Midi->SetReportOpen(true);
    Midi->SetReportClose(true);
    Midi->HoldOutput(false);
    EXPECT_TRUE(next.Open());
    next.Close();
  }
}
