// The service's queue, pacing and device lifecycle, over the recording backend.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "MidiBackend.h"
#include "MidiOutService.h"
#include "RecordingMidiBackend.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

std::mutex NotesLock;
std::vector<UINT> Notes;

void Record(HMIDIOUT, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  std::lock_guard lock(NotesLock);
  Notes.push_back(message);
}

DWORD Word(std::uint8_t status, std::uint8_t data1 = 0, std::uint8_t data2 = 0) {
  return status | (DWORD{data1} << 8) | (DWORD{data2} << 16);
}

using halvorine_test::Eventually;

class MidiQueue : public ::testing::Test {
protected:
  void SetUp() override {
    std::lock_guard lock(NotesLock);
    Notes.clear();
  }
  HMIDIOUT Open() {
    HMIDIOUT h = 0;
    EXPECT_EQ(midiOutGetNumDevs(), 1u);
    EXPECT_EQ(midiOutOpen(&h, 0, &Record, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    return h;
  }
  // Takes the device away and waits until the handle waits for it, the first message held.
  void Leave(HMIDIOUT h, DWORD first) {
    Midi->SetDevices({});
    ASSERT_EQ(midiOutShortMsg(h, first), MMSYSERR_NOERROR);
    ASSERT_TRUE(Eventually([&] { return MidiOutGetState(h).Link == TMidiLink::mlWaiting; }));
  }
  std::vector<UINT> Seen() {
    MidiOutFlushNotifications();
    std::lock_guard lock(NotesLock);
    return Notes;
  }
  TRecordingMidiService Midi{{"Alpha"}};
};

}  // namespace

TEST(MidiRateOption, ParsesNameAndRate) {
  using TResult = std::optional<std::pair<std::string, std::uint32_t>>;
  const std::pair<const char*, TResult> cases[] = {
      {"Synth:out 20:0=3125", TResult({"Synth:out 20:0", 3125})},
      {"a=b=10", TResult({"a=b", 10})},
      {"Fast=0", TResult({"Fast", kMidiRateUnlimited})},
      {"Fast=unlimited", TResult({"Fast", kMidiRateUnlimited})},
      {"=3125", std::nullopt},
      {"Name", std::nullopt},
      {"Name=", std::nullopt},
      {"Name=-1", std::nullopt},
      {"Name=12x", std::nullopt},
      {"Name=99999999999", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseMidiRateOption(text), expected) << text;
}

// While the device is away, control changes of one channel and controller merge into the one
// that waits, at its place; notes and transport keep their order; all goes out once, unasked,
// when a device of that name returns; the backlog shows as pending, then done.
TEST_F(MidiQueue, ADeviceThatReturnsGetsTheLatestValuesOnceAndEverythingElseInOrder) {
  const HMIDIOUT h = Open();
  Leave(h, Word(0xB0, 16, 2));
  const DWORD later[] = {Word(0xB0, 16, 5), Word(0x90, 60, 100), Word(0xB0, 16, 6),
                         Word(0xB1, 16, 7), Word(0xFA),          Word(0x90, 60, 0),
                         Word(0xB0, 16, 8), Word(0xFC),          Word(0xB1, 17, 9)};
  for (DWORD w : later) ASSERT_EQ(midiOutShortMsg(h, w), MMSYSERR_NOERROR);
  const TMidiOutState waiting = MidiOutGetState(h);
  EXPECT_EQ(waiting.Device, "Alpha");
  EXPECT_EQ(waiting.Queued, 7u);
  EXPECT_TRUE(Midi->Messages().empty());

  Midi->SetDevices({"Alpha"});
  const TBytes expected = {0xB0, 16,   8,  0x90, 60,   100,  0xB1, 16, 7,
                           0xFA, 0x90, 60, 0,    0xFC, 0xB1, 17,   9};
  ASSERT_TRUE(Eventually([&] { return Midi->Bytes().size() >= expected.size(); }));
  EXPECT_EQ(MidiOutGetState(h).Link, TMidiLink::mlOpen);
  ASSERT_EQ(midiOutShortMsg(h, Word(0xFB)), MMSYSERR_NOERROR);
  TBytes all = expected;
  all.push_back(0xFB);
  EXPECT_EQ(Midi->Bytes(), all);
  EXPECT_EQ(Seen(), (std::vector<UINT>{MOM_OPEN, MOM_PENDING, MOM_DONE}));
  EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(Seen().back(), MOM_CLOSE);
}

TEST_F(MidiQueue, AwayTheQueueKeepsOneValuePerControllerAndDropsTheOldestOthers) {
  const HMIDIOUT h = Open();
  Leave(h, Word(0xFA));
  constexpr std::size_t kExtra = 5;
  for (std::size_t i = 0; i < kMidiOutQueueOtherLimit + kExtra; ++i) {
    ASSERT_EQ(midiOutShortMsg(h, Word(0x90, static_cast<std::uint8_t>(i % 128), 1)),
              MMSYSERR_NOERROR);
    for (std::uint8_t c = 0; c < 16; ++c) midiOutShortMsg(h, Word(0xB0 | c, 20, c));
  }
  const TMidiOutState state = MidiOutGetState(h);
  EXPECT_EQ(state.Dropped, kExtra + 1) << "the oldest: the held Start, then five notes";
  EXPECT_EQ(state.Queued, kMidiOutQueueOtherLimit + 16);
  EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
}

// A DIN wire (3,125 bytes/s) with a 4 KB buffer that refuses what does not fit: after a storm of
// mix moves the wire holds exactly the last values, and every note went out, in order.
TEST_F(MidiQueue, ASlowWireEndsOnThePanelsValuesAndLosesNoNote) {
  Midi->SetWire(kMidiDinRate, 4096);
  MidiOutSetDeviceRate("Alpha", kMidiDinRate);
  const HMIDIOUT h = Open();
  std::array<std::uint8_t, 24> panel{};
  TBytes notes;
  for (int move = 0; move < 400; ++move) {
    for (std::uint8_t p = 0; p < 24; ++p) {
      panel[p] = static_cast<std::uint8_t>((move * 7 + p * 13) % 128);
      ASSERT_EQ(midiOutShortMsg(h, Word(0xB2, 16 + p, panel[p])), MMSYSERR_NOERROR);
    }
    if (move % 50 == 0) {
      notes.push_back(static_cast<std::uint8_t>(move / 50));
      midiOutShortMsg(h, Word(0x99, notes.back(), 100));
    }
  }
  ASSERT_TRUE(Eventually([&] { return MidiOutGetState(h).Queued == 0; }));
  std::map<int, int> wire;
  TBytes heard;
  for (const TRecordedMessage& m : Midi->Messages()) {
    if (m.Bytes[0] == 0xB2) wire[m.Bytes[1]] = m.Bytes[2];
    if (m.Bytes[0] == 0x99) heard.push_back(m.Bytes[1]);
  }
  for (int p = 0; p < 24; ++p) EXPECT_EQ(wire[16 + p], panel[p]) << "parameter " << p;
  EXPECT_EQ(heard, notes);
  EXPECT_EQ(Midi->Refusals(), 0) << "paced to the wire, the buffer never overflows";
  EXPECT_LT(Midi->Messages().size(), 400u * 24) << "waiting values were merged";
  EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
  MidiOutSetDeviceRate("Alpha", kMidiRateUnlimited);
}

// A stalled server: every call hangs until it resumes. The caller's calls come back in bounded
// time; what was asked is done once the server answers.
TEST_F(MidiQueue, AStalledServerHoldsNoCallerAndCatchesUpAfterwards) {
  const HMIDIOUT h = Open();
  Midi->Stall(true);
  ASSERT_EQ(midiOutShortMsg(h, Word(0xFA)), MMSYSERR_NOERROR);
  ASSERT_TRUE(Eventually([&] { return Midi->BlockedCalls() == 1; }));
  {
    TManualTickCount clock(0, 500);
    EXPECT_EQ(midiOutGetNumDevs(), 1u) << "the list read last stands";
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    HMIDIOUT again = 0;
    EXPECT_EQ(midiOutOpen(&again, 0, &Record, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR)
        << "an open not answered in time leaves the handle to open later";
    EXPECT_NE(again, 0u);
    EXPECT_EQ(MidiOutGetState(again).Link, TMidiLink::mlOpening);
    Midi->Stall(false);
    ASSERT_TRUE(Eventually([&] { return MidiOutGetState(again).Link == TMidiLink::mlOpen; }));
    EXPECT_EQ(midiOutClose(again), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(Midi->Bytes(), TBytes{0xFA});
  EXPECT_EQ(Seen(), (std::vector<UINT>{MOM_OPEN, MOM_CLOSE, MOM_OPEN, MOM_CLOSE}));
  EXPECT_EQ(Midi->OpenPorts(), 0);
}
