#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "MidiOutSlots.h"
#include "RecordingMidiBackend.h"
#include "TickCount.h"

// Each step: a notice of a handle (or a reset of the slot), then what the slot reads: closed (0),
// open (1) or open and busy (2). A late close of an old handle leaves the next holder's open alone.
TEST(SlotState, FollowsTheNotifications) {
  constexpr UINT kReset = ~0u;
  constexpr std::int32_t kSlot = 5;
  // clang-format off
  const std::pair<const char*, std::vector<std::tuple<HMIDIOUT, UINT, int>>> cases[] = {
      {"OpenThenClose", {{11, MOM_OPEN, 1}, {11, MOM_CLOSE, 0}}},
      {"PendingUntilDone", {{11, MOM_OPEN, 1}, {11, MOM_PENDING, 2}, {11, MOM_PENDING, 2},
                            {11, MOM_DONE, 2}, {11, MOM_DONE, 1}, {11, MOM_DONE, 1}}},
      {"CloseClearsPending", {{11, MOM_OPEN, 1}, {11, MOM_PENDING, 2}, {11, MOM_CLOSE, 0}}},
      {"PendingWhileClosedIsIgnored", {{11, MOM_PENDING, 0}, {11, MOM_OPEN, 1}, {11, MOM_CLOSE, 0},
                                       {11, MOM_PENDING, 0}, {11, MOM_OPEN, 1}}},
      {"AnotherHandlesCloseIsIgnored", {{11, MOM_OPEN, 1}, {12, MOM_CLOSE, 1},
                                        {12, MOM_PENDING, 1}, {11, MOM_CLOSE, 0}}},
      {"ReopenThroughANewHandle", {{11, MOM_OPEN, 1}, {11, MOM_CLOSE, 0}, {12, MOM_OPEN, 1},
                                   {11, MOM_CLOSE, 1}}},
      {"UnknownMessagesChangeNothing", {{11, MOM_OPEN, 1}, {11, 0x3C0, 1}}},
      {"ResetForgetsTheSlotAndItsHandle", {{21, MOM_OPEN, 1}, {21, MOM_PENDING, 2}, {0, kReset, 0},
                                           {22, MOM_OPEN, 1}, {21, MOM_CLOSE, 1}}}};
  // clang-format on
  for (const auto& [name, steps] : cases) {
    MIDIOUTRESET(kSlot);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const auto& [handle, message, state] = steps[i];
      if (message == kReset) {
        MIDIOUTRESET(kSlot);
      } else {
        MidiOutHandler(handle, message, kSlot, 0, 0);
      }
      EXPECT_EQ(MIDIOUTISOPEN(kSlot), state > 0) << name << " step " << i;
      EXPECT_EQ(MIDIOUTISBUSY(kSlot), state == 2) << name << " step " << i;
    }
    for (std::int32_t other = 0; other < kMidiOutSlotCount; ++other) {
      EXPECT_TRUE(other == kSlot || !MIDIOUTISOPEN(other)) << "slot " << other << " moved";
    }
  }
  MIDIOUTRESET(kSlot);
}

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
