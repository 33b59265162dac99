// The port's waits, bounded on both sides on a scripted tick count: Open waits 5 s for the device
// to report open, Close 20 s for pending output and then 5 s for the device to report closed. A
// device that answers just inside a wait is taken; one that never answers is given up a little
// after the limit, not before. Only the port's public behaviour is looked at.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Eventually.h"
#include "MidiBackend.h"
#include "MidiOut.h"
#include "RecordingMidiBackend.h"
#include "TickCount.h"

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
        TWaitCase{"OpenNoticeJustInTime", true, false, false, true, kNever, 4900, std::nullopt, 0,
                  true},
        TWaitCase{"OpenNeverNoticed", true, false, false, true, kNever, kNever, std::nullopt, 5000,
                  false},
        TWaitCase{"OutputDrainsJustInTime", false, true, true, true, 19900, kNever, std::nullopt, 0,
                  false},
        TWaitCase{"OutputNeverDrains", false, true, true, true, kNever, kNever, kMidiOutSendTooLong,
                  20000, true},
        TWaitCase{"CloseNoticeJustInTime", false, false, true, false, kNever, 4900, std::nullopt, 0,
                  false},
        TWaitCase{"CloseNeverNoticed", false, false, true, false, kNever, kNever,
                  kMidiOutUnableToClose, 5000, true},
        // The close wait starts when the output has drained, not when Close began.
        TWaitCase{"DrainsAt12SecondsThenNeverCloses", false, true, true, false, 12000, kNever,
                  kMidiOutUnableToClose, 17000, true}),
    [](const auto& info) { return info.param.Name; });

// An Open that gave up leaves the device opening; once it reports open, the port is open and the
// next Open takes it as it is, without opening the device a second time.
TEST(MidiOutLateOpen, ANoticeAfterATimedOutOpenMakesTheNextOpenSucceedAtOnce) {
  TRecordingMidiService midi{{"Drum Machine"}};
  midi->SetReportOpen(false);
  TMidiOut port;
  {
    ScriptedClock clock(kNever, nullptr);
    ASSERT_FALSE(port.Open());
  }
  ASSERT_EQ(port.ErrorCode(), TMidiOut::kErrorOpenTimeout);
  midi->DeliverWithheld();
  ASSERT_TRUE(halvorine_test::Eventually([&] { return port.IsOpen(); }));
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(midi->OpenCalls(), 1);
  EXPECT_EQ(midi->CloseCalls(), 0);
  EXPECT_EQ(midi->OpenPorts(), 1);
  EXPECT_EQ(port.SendStart(), MMSYSERR_NOERROR);
  EXPECT_EQ(midi->Bytes(), std::vector<std::uint8_t>{0xFA});
  midi->SetReportClose(true);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace
