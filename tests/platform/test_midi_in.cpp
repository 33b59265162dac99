// The MIDI input service: what every backend receives is made into whole messages by one parser,
// the reader is woken through the eventfd, and a close whose answer comes late lets nothing of the
// closed input through.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdint>
#include <string>
#include <vector>

#include "MidiInService.h"
#include "RecordingMidiBackend.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

// What the reader takes now, each message's bytes as its Count says.
std::vector<TBytes> Taken() {
  std::vector<TBytes> taken;
  MidiInTake([&](const TMidiInMessage& m) {
    taken.emplace_back(m.Bytes.begin(), m.Bytes.begin() + m.Count);
  });
  return taken;
}

bool WakeReadable() {
  pollfd fd{MidiInWakeDescriptor(), POLLIN, 0};
  return poll(&fd, 1, 0) == 1;
}

struct TParseCase {
  const char* Name;
  std::vector<TBytes> Pieces;  // as the backend hands them over
  std::vector<TBytes> Messages;
  std::uint64_t CutOff;
};

}  // namespace

TEST(MidiInParser, PiecesBecomeWholeMessagesAndCutOffOnesAreCounted) {
  const TParseCase cases[] = {
      {"a status cuts off what lacks data bytes",
       {{0xB2, 0x55, 0x66}, {0xB0}, {0xC0}, {0xE0, 0x01}, {0xB2, 0x55, 0x67}},
       {{0xB2, 0x55, 0x66}, {0xB2, 0x55, 0x67}},
       3},
      {"running status, within a piece and across pieces",
       {{0x90, 0x24, 0x64, 0x24, 0x00}, {0x25}, {0x40}, {0xC3, 0x05, 0x06}},
       {{0x90, 0x24, 0x64}, {0x90, 0x24, 0x00}, {0x90, 0x25, 0x40}, {0xC3, 0x05}, {0xC3, 0x06}},
       0},
      {"a running status with one data byte is cut off too",
       {{0xB0, 0x10, 0x40, 0x11}, {0xF7}, {0xC1, 0x05}},
       {{0xB0, 0x10, 0x40}, {0xC1, 0x05}},
       1},
      {"system exclusive is ended by any status but real-time, which passes as itself",
       {{0xF0, 0x7D, 0xF8, 0x01}, {0xFE, 0x02, 0xF7}, {0xF0, 0x7D, 0x01}, {0xB0, 0x10, 0x40}},
       {{0xF8}, {0xFE}, {0xB0, 0x10, 0x40}},
       1},
      {"real-time inside a message; a system common message ends running status",
       {{0xB0, 0x10, 0xFA, 0x40, 0xF3, 0x05, 0x11, 0x22}, {0xF2, 0x01}, {0x02, 0xF6}},
       {{0xFA}, {0xB0, 0x10, 0x40}, {0xF3, 0x05}, {0xF2, 0x01, 0x02}, {0xF6}},
       0},
      {"stray data and undefined status bytes start nothing",
       {{0x40, 0xF9, 0xFD, 0xF4, 0x10, 0xF5, 0xFF}},
       {{0xFF}},
       0},
  };
  TRecordingMidiService midi;
  midi->SetInputs({"Keys"});
  for (const TParseCase& c : cases) {
    // Each case on a fresh following, as the parser of a port that has just opened.
    ASSERT_TRUE(MidiInOpen("Keys")) << c.Name;
    for (const TBytes& piece : c.Pieces) ASSERT_TRUE(midi->Play("Keys", piece)) << c.Name;
    EXPECT_EQ(Taken(), c.Messages) << c.Name;
    EXPECT_EQ(MidiInGetState().CutOff, c.CutOff) << c.Name;
  }
  MidiInClose();
}

// The reader is woken once for all that arrives before it reads; a message that arrives while it
// reads is not taken by that read (the read ends where the ring stood when it began) and wakes it
// again.
TEST(MidiInWake, AMessageArrivingDuringAReadWakesTheReaderAgain) {
  TRecordingMidiService midi;
  midi->SetInputs({"Keys"});
  ASSERT_TRUE(MidiInOpen("Keys"));
  MidiInAcknowledgeWake();
  ASSERT_TRUE(midi->Play("Keys", {0xB0, 16, 1}));
  ASSERT_TRUE(midi->Play("Keys", {0xB0, 16, 2}));
  std::vector<int> seen;
  int wakes = 0;
  while (WakeReadable()) {
    ++wakes;
    MidiInAcknowledgeWake();
    MidiInTake([&](const TMidiInMessage& m) {
      seen.push_back(m.Bytes[2]);
      if (seen.size() == 1) midi->Play("Keys", {0xB0, 16, 3});
    });
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(wakes, 2);
  MidiInClose();
}

// A stalled backend holds the port's close past the answer wait: the input goes on receiving until
// the worker gets to it, and none of that is taken, neither now nor after the next open.
TEST(MidiInClose, WhatAPortClosedLateStillReceivesIsNeverTaken) {
  TRecordingMidiService midi;
  midi->SetInputs({"Keys"});
  ASSERT_TRUE(MidiInOpen("Keys"));
  midi->Stall(true);
  {
    TManualTickCount ticks(0, 200);  // the answer wait passes within a few reads
    MidiInClose();
  }
  EXPECT_EQ(MidiInGetState().Link, TMidiInLink::ilClosed);
  ASSERT_TRUE(midi->Play("Keys", {0xB0, 16, 1}));
  EXPECT_EQ(Taken(), std::vector<TBytes>{});
  midi->Stall(false);
  ASSERT_TRUE(MidiInOpen("Keys"));
  ASSERT_TRUE(midi->Play("Keys", {0xB0, 16, 2}));
  EXPECT_EQ(Taken(), (std::vector<TBytes>{{0xB0, 16, 2}}));
  MidiInClose();
}
