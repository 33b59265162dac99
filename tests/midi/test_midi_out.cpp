#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <QVariant>

#include "Eventually.h"
#include "MidiBackend.h"
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

// A new port's defaults; sends on a port not open are refused and lost. Close closes the device
// once, as does the destruction of an open port, also by its owner, which frees the slot.
TEST_F(MidiOut, ANewPortHasItsDefaultsSendsOnlyWhileOpenAndClosesTheDeviceOnce) {
  {
    TMidiOut port;
    EXPECT_EQ(port.DeviceID(), 0);
    EXPECT_EQ(port.ErrorCode(), 0);
    EXPECT_EQ(port.GetChannel(), 1);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.IsBusy());
    EXPECT_EQ(port.property("DeviceID").toInt(), 0);
    EXPECT_EQ(port.property("Channel").toInt(), 1);
    EXPECT_EQ(port.SendControlChange(0, 1, 2), MMSYSERR_INVALHANDLE);
    port.Close();
    EXPECT_EQ(Midi->CloseCalls(), 0) << "nothing to close";
    ASSERT_TRUE(port.Open());
    port.Close();
    port.Close();
    EXPECT_EQ(Midi->CloseCalls(), 1);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.SendStop(), MMSYSERR_INVALHANDLE);
    ASSERT_TRUE(port.Open());
  }
  EXPECT_EQ(Midi->CloseCalls(), 2) << "destroyed open";
  EXPECT_TRUE(Midi->Messages().empty());
  auto owner = std::make_unique<QObject>();
  ASSERT_TRUE((new TMidiOut(owner.get()))->Open());
  owner.reset();
  EXPECT_EQ(Midi->OpenPorts(), 0);
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
  const std::tuple<std::function<void()>, int, int> cases[] = {
      {[&] { Midi->RefuseOpen(MMSYSERR_ALLOCATED); }, 0, MMSYSERR_ALLOCATED},
      {[&] { Midi->RefuseOpen(MMSYSERR_NOMEM); }, 0, MMSYSERR_NOMEM},
      {[&] { Midi->HoldDevice("Drum Machine", true); }, 0, MMSYSERR_ALLOCATED},
      {[] {}, 2, MMSYSERR_BADDEVICEID},
      {[] {}, 12345, MMSYSERR_BADDEVICEID}};
  for (const auto& [arrange, deviceID, code] : cases) {
    Midi->RefuseOpen(MMSYSERR_NOERROR);
    Midi->HoldDevice("Drum Machine", false);
    arrange();
    TMidiOut port;
    port.SetDeviceID(deviceID);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.ErrorCode(), code);
    EXPECT_FALSE(port.IsOpen());
  }
  EXPECT_EQ(Midi->OpenPorts(), 0);
}

// Start tick, seconds, the tick looked at, expired.
TEST(Deadline, ExpiresStrictlyAfterItsTickAlsoAcrossTheWrap) {
  const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, bool> cases[] = {
      {1000, 5, 6000, false},
      {1000, 5, 6001, true},
      {1000, 20, 21000, false},
      {1000, 20, 21001, true},
      {0xFFFFF000u, 5, 0xFFFFFFFFu, false},
      {0xFFFFF000u, 5, 0x00000388u, false},
      {0xFFFFF000u, 5, 0x00000389u, true},
      {0xFFFFFFFFu, 5, 5000, true}};
  for (const auto& [start, seconds, now, expired] : cases) {
    TManualTickCount clock(start, 0);
    TDeadline d;
    d.Start(seconds);
    EXPECT_FALSE(d.Expired);
    clock.Set(now);
    EXPECT_EQ(d.Check(), expired) << start << " + " << seconds << " s at " << now;
    EXPECT_EQ(d.Expired, expired);
  }
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

// The port's waits, bounded on both sides on a scripted tick count: Open waits 5 s for the device
// to report open, Close 20 s for pending output and then 5 s for the device to report closed. A
// device that answers just inside a wait is taken; one that never answers is given up a little
// after the limit, not before. Only the port's public behaviour is looked at.
namespace {

// A tick count that moves 100 ms at every read and runs one action, once, when it first reads
// `At` ms or more after its start: the device answering at that moment of the wait. Every notice
// the service has posted is delivered before a read returns, so that the port sees an answer at
// the scripted moment however slowly the service's thread runs.
constexpr std::uint32_t kStep = 100;
constexpr std::uint32_t kStart = 0xFFFF0000u;  // the waits cross the tick count's wrap
std::atomic<std::uint32_t> Now{kStart};
std::uint32_t ActAt = 0;
std::function<void()> Act;

std::uint32_t ScriptedTicks() {
  const std::uint32_t now = Now.fetch_add(kStep);
  if (Act && now - kStart >= ActAt) std::exchange(Act, nullptr)();
  MidiOutFlushNotifications();
  return now;
}

class ScriptedClock {
public:
  ScriptedClock(std::uint32_t at, std::function<void()> act) {
    Now = kStart;
    ActAt = at;
    Act = std::move(act);
    FPrevious = SetTickSource(&ScriptedTicks);
  }
  ~ScriptedClock() {
    SetTickSource(FPrevious);
    Act = nullptr;
  }
  std::uint32_t Elapsed() const { return Now - kStart; }

private:
  TTickSource FPrevious;
};

constexpr std::uint32_t kNever = 0xFFFFFFFFu;
constexpr std::uint32_t kSlack = 1000;  // how far past its limit a wait may give up

struct TWaitCase {
  std::string Name;
  bool Open;  // the operation: Open (else Close)
  bool Pending, ReportOpen, ReportClose;
  std::uint32_t DrainAt;             // when pending output goes out (ms into the call)
  std::uint32_t NoticeAt;            // when the withheld open or close notice comes
  std::optional<std::string> Error;  // what Close raises
  std::uint32_t GiveUpAt;  // when a wait that is never answered ends (ms into the call), or 0
  bool OpenAfter;
};

void PrintTo(const TWaitCase& c, std::ostream* os) { *os << c.Name; }

class MidiOutWaits : public testing::TestWithParam<TWaitCase> {
protected:
  TRecordingMidiService Midi{{"Drum Machine"}};
};

TEST_P(MidiOutWaits, AnswerInsideTheLimitIsTakenNoAnswerIsGivenUpJustAfter) {
  const TWaitCase c = GetParam();
  auto owned = std::make_unique<TMidiOut>();
  TMidiOut& port = *owned;
  Midi->SetReportOpen(c.ReportOpen);
  if (!c.Open) {
    ASSERT_TRUE(port.Open());
    Midi->SetReportClose(c.ReportClose);
    if (c.Pending) {
      Midi->HoldOutput(true);
      port.SendStart();
      ASSERT_TRUE(halvorine_test::Eventually([&] { return port.IsBusy(); }));
    }
  }
  // One answer at most is scripted; a case that needs two drains first and notices after.
  const bool drains = c.DrainAt != kNever;
  const auto notice = [&] { Midi->DeliverWithheld(); };
  const auto drain = [&] { Midi->ReleaseOutput(); };
  ScriptedClock clock(drains ? c.DrainAt : c.NoticeAt,
                      drains ? std::function<void()>(drain)
                             : (c.NoticeAt != kNever ? std::function<void()>(notice) : nullptr));
  std::optional<std::string> raised;
  if (c.Open) {
    EXPECT_EQ(port.Open(), c.OpenAfter);
    EXPECT_EQ(port.ErrorCode(), c.OpenAfter ? 0 : TMidiOut::kErrorOpenTimeout);
  } else {
    try {
      port.Close();
    } catch (const EMidiOutError& e) {
      raised = e.what();
    }
  }
  EXPECT_EQ(raised, c.Error);
  if (c.GiveUpAt != 0) {
    EXPECT_GE(clock.Elapsed(), c.GiveUpAt) << "gave up before the limit";
    EXPECT_LE(clock.Elapsed(), c.GiveUpAt + kSlack) << "went on long after the limit";
  }
  EXPECT_EQ(port.IsOpen(), c.OpenAfter);
  EXPECT_EQ(Midi->OpenCalls(), 1);
  // A close is issued once output has drained, never while it is pending.
  EXPECT_EQ(Midi->CloseCalls(), !c.Open && (!c.Pending || drains) ? 1 : 0);
  // An open given up on stays with the service, as does a device whose close was not issued.
  EXPECT_EQ(Midi->OpenPorts(), 1 - Midi->CloseCalls());
  if (raised && Midi->CloseCalls() == 0) {
    EXPECT_EQ(port.SendStop(), MMSYSERR_NOERROR) << "still usable";
  }
  owned.reset();  // on the scripted clock too: waits the destruction gives up end at once
}

INSTANTIATE_TEST_SUITE_P(
    OpenAndClose, MidiOutWaits,
    testing::Values(
        // name, open?, pending, report open, report close, drain at, notice at, error, give up at,
        // open after
        TWaitCase{"OpenNoticeJustInTime", true, false, false, true, kNever, 4900, {}, 0, true},
        TWaitCase{"OpenNeverNoticed", true, false, false, true, kNever, kNever, {}, 5000, false},
        TWaitCase{"OutputDrainsJustInTime", false, true, true, true, 19900, kNever, {}, 0, false},
        TWaitCase{"OutputNeverDrains", false, true, true, true, kNever, kNever, kMidiOutSendTooLong,
                  20000, true},
        TWaitCase{"CloseNoticeJustInTime", false, false, true, false, kNever, 4900, {}, 0, false},
        TWaitCase{"CloseNeverNoticed", false, false, true, false, kNever, kNever,
                  kMidiOutUnableToClose, 5000, true},
        // The close wait starts when the output has drained, not when Close began.
        TWaitCase{"DrainsAt12SecondsThenNeverCloses", false, true, true, false, 12000, kNever,
                  kMidiOutUnableToClose, 17000, true}),
    [](const auto& info) { return info.param.Name; });

// An Open that gave up leaves the device opening. If it reports open later, the port is open and
// the next Open takes it as it is; if not, the next Open closes the abandoned open and opens anew.
TEST(MidiOutLateOpen, TheNextOpenTakesALateOpenOrOpensAfresh) {
  for (const bool late : {true, false}) {
    SCOPED_TRACE(late ? "reported late" : "never reported");
    TRecordingMidiService midi{{"Drum Machine"}};
    midi->SetReportOpen(false);
    TMidiOut port;
    {
      ScriptedClock clock(kNever, nullptr);
      ASSERT_FALSE(port.Open());
    }
    ASSERT_EQ(port.ErrorCode(), TMidiOut::kErrorOpenTimeout);
    if (late) {
      midi->DeliverWithheld();
      ASSERT_TRUE(halvorine_test::Eventually([&] { return port.IsOpen(); }));
    }
    midi->SetReportOpen(true);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(midi->OpenCalls(), late ? 1 : 2);
    EXPECT_EQ(midi->CloseCalls(), late ? 0 : 1) << "an abandoned open is closed before the new one";
    EXPECT_EQ(midi->OpenPorts(), 1);
    EXPECT_EQ(port.SendStart(), MMSYSERR_NOERROR);
    EXPECT_EQ(midi->Bytes(), TBytes{0xFA});
    port.Close();
    EXPECT_FALSE(port.IsOpen());
  }
}

}  // namespace
