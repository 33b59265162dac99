#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MidiOutSlots.h"
#include "RecordingMidiBackend.h"
#include "TickCount.h"

namespace {

constexpr UINT kReset = ~0u;  // a step that resets the slot instead of notifying

struct TStep {
  HMIDIOUT Handle;
  UINT Message;
  bool Open;
  bool Busy;
};

struct TSlotCase {
  std::string Name;
  std::vector<TStep> Steps;
};

void PrintTo(const TSlotCase& c, std::ostream* os) { *os << c.Name; }

class SlotState : public ::testing::TestWithParam<TSlotCase> {
protected:
  void SetUp() override { MIDIOUTRESET(Slot); }
  void TearDown() override { MIDIOUTRESET(Slot); }
  static constexpr std::int32_t Slot = 5;
};

}  // namespace

TEST_P(SlotState, FollowsTheNotifications) {
  EXPECT_FALSE(MIDIOUTISOPEN(Slot));
  EXPECT_FALSE(MIDIOUTISBUSY(Slot));
  int i = 0;
  for (const TStep& s : GetParam().Steps) {
    if (s.Message == kReset) {
      MIDIOUTRESET(Slot);
    } else {
      MidiOutHandler(s.Handle, s.Message, Slot, 0, 0);
    }
    EXPECT_EQ(MIDIOUTISOPEN(Slot), s.Open) << "step " << i;
    EXPECT_EQ(MIDIOUTISBUSY(Slot), s.Busy) << "step " << i;
    ++i;
  }
  // No other slot moved.
  for (std::int32_t other = 0; other < kMidiOutSlotCount; ++other) {
    if (other != Slot) {
      EXPECT_FALSE(MIDIOUTISOPEN(other)) << other;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, SlotState,
    ::testing::Values(TSlotCase{"OpenThenClose",
                                {{11, MOM_OPEN, true, false}, {11, MOM_CLOSE, false, false}}},
                      TSlotCase{"PendingUntilDone",
                                {{11, MOM_OPEN, true, false},
                                 {11, MOM_PENDING, true, true},
                                 {11, MOM_PENDING, true, true},
                                 {11, MOM_DONE, true, true},
                                 {11, MOM_DONE, true, false},
                                 {11, MOM_DONE, true, false}}},
                      TSlotCase{"CloseClearsPending",
                                {{11, MOM_OPEN, true, false},
                                 {11, MOM_PENDING, true, true},
                                 {11, MOM_CLOSE, false, false}}},
                      TSlotCase{"PendingBeforeOpenIsIgnored",
                                {{11, MOM_PENDING, false, false}, {11, MOM_OPEN, true, false}}},
                      TSlotCase{"AnotherHandlesCloseIsIgnored",
                                {{11, MOM_OPEN, true, false},
                                 {12, MOM_CLOSE, true, false},
                                 {12, MOM_PENDING, true, false},
                                 {11, MOM_CLOSE, false, false}}},
                      TSlotCase{"ReopenThroughANewHandle",
                                {{11, MOM_OPEN, true, false},
                                 {11, MOM_CLOSE, false, false},
                                 {12, MOM_OPEN, true, false},
                                 {11, MOM_CLOSE, true, false}}},
                      TSlotCase{"UnknownMessagesChangeNothing",
                                {{11, MOM_OPEN, true, false}, {11, 0x3C0, true, false}}},
                      // A late close of the old handle leaves the next holder's open alone.
                      TSlotCase{"ResetForgetsTheSlotAndItsHandle",
                                {{21, MOM_OPEN, true, false},
                                 {21, MOM_PENDING, true, true},
                                 {0, kReset, false, false},
                                 {22, MOM_OPEN, true, false},
                                 {21, MOM_CLOSE, true, false}}}),
    [](const auto& info) { return info.param.Name; });

TEST(SlotStateLibrary, SlotsOutsideTheRangeAreRefused) {
  for (DWORD_PTR instance : {DWORD_PTR{16}, DWORD_PTR{1000}, ~DWORD_PTR{0}}) {
    MidiOutHandler(1, MOM_OPEN, instance, 0, 0);
  }
  for (std::int32_t slot : {-1, 16, 1000}) {
    EXPECT_FALSE(MIDIOUTISOPEN(slot));
    EXPECT_FALSE(MIDIOUTISBUSY(slot));
    MIDIOUTRESET(slot);
  }
  for (std::int32_t slot = 0; slot < kMidiOutSlotCount; ++slot) EXPECT_FALSE(MIDIOUTISOPEN(slot));
}

TEST(TickCount, ManualClockStandsInAndStepsPerRead) {
  const std::uint32_t before = GetTickCount();
  {
    TManualTickCount clock(0xFFFFFFF0u, 10);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
    EXPECT_EQ(GetTickCount(), 0xFFFFFFFAu);
    EXPECT_EQ(GetTickCount(), 0x00000004u);  // wraps like the system's count
    EXPECT_EQ(clock.Reads(), 3u);
    clock.SetStep(0);
    clock.Set(42);
    EXPECT_EQ(GetTickCount(), 42u);
    EXPECT_EQ(GetTickCount(), 42u);
  }
  // The system clock is back: it runs in milliseconds from where it was.
  const std::uint32_t after = GetTickCount();
  EXPECT_LT(after - before, 60000u);
}
