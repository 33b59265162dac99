#include <gtest/gtest.h>
#include <jack/jack.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Eventually.h"
#include "MidiBackend.h"
#include "MidiOutService.h"
#include "MidiPortNames.h"
#include "RecordingMidiBackend.h"

namespace {

using TBytes = std::vector<std::uint8_t>;
using halvorine_test::Eventually;

DWORD Word(std::uint8_t status, std::uint8_t data1 = 0, std::uint8_t data2 = 0) {
  return status | (DWORD{data1} << 8) | (DWORD{data2} << 16);
}

// What the test callback has seen, filled from the service's notification thread.
struct TSeen {
  std::mutex Lock;
  std::vector<std::pair<HMIDIOUT, UINT>> Notes;
  std::vector<DWORD_PTR> Instances;
  std::thread::id Thread;
};
TSeen Seen;

void Record(HMIDIOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  std::lock_guard lock(Seen.Lock);
  Seen.Notes.emplace_back(handle, message);
  Seen.Instances.push_back(instance);
  Seen.Thread = std::this_thread::get_id();
}

class MidiService : public ::testing::Test {
protected:
  void SetUp() override {
    std::lock_guard lock(Seen.Lock);
    Seen.Notes.clear();
    Seen.Instances.clear();
  }
  std::vector<std::pair<HMIDIOUT, UINT>> Notes() {
    MidiOutFlushNotifications();
    std::lock_guard lock(Seen.Lock);
    return Seen.Notes;
  }
  std::vector<UINT> Messages() {
    std::vector<UINT> messages;
    for (const auto& note : Notes()) messages.push_back(note.second);
    return messages;
  }
  // Takes the devices away and waits until the handle waits for its own, the first message held.
  void Leave(HMIDIOUT h, DWORD first) {
    Midi->SetDevices({});
    ASSERT_EQ(midiOutShortMsg(h, first), MMSYSERR_NOERROR);
    ASSERT_TRUE(Eventually([&] { return MidiOutGetState(h).Link == TMidiLink::mlWaiting; }));
  }
  HMIDIOUT OpenDevice(UINT device, DWORD_PTR instance = 0) {
    HMIDIOUT h = 0;
    EXPECT_EQ(midiOutOpen(&h, device, &Record, instance, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    return h;
  }
  TRecordingMidiService Midi{{"Alpha", "Beta", "Gamma"}};
};

}  // namespace

TEST(MidiShortMessage, LengthByStatus) {
  const std::pair<std::uint8_t, std::size_t> cases[] = {
      {0x00, 0}, {0x7F, 0}, {0x80, 3}, {0x9F, 3}, {0xA0, 3}, {0xB3, 3}, {0xC0, 2}, {0xCF, 2},
      {0xD5, 2}, {0xE0, 3}, {0xEF, 3}, {0xF0, 0}, {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF6, 1},
      {0xF7, 0}, {0xF8, 1}, {0xFA, 1}, {0xFB, 1}, {0xFC, 1}, {0xFE, 1}, {0xFF, 1}};
  for (const auto& [status, length] : cases) {
    EXPECT_EQ(MidiShortMessageLength(status), length) << std::hex << int(status);
  }
}

// Names are cut to 31 bytes on a character boundary; the list is read again only when counted.
TEST_F(MidiService, CapabilitiesNameTheListedDevicesInOrder) {
  ASSERT_EQ(midiOutGetNumDevs(), 3u);
  // 30 ASCII bytes then a two-byte character: cutting at 31 would split the character.
  const std::string split = std::string(30, 'a') + "\xC3\xA9" + "zz";
  Midi->SetDevices({std::string(40, 'x'), split, "short"});
  MIDIOUTCAPSA caps{};
  ASSERT_EQ(midiOutGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Gamma");
  ASSERT_EQ(midiOutGetNumDevs(), 3u);
  const std::string names[] = {std::string(31, 'x'), std::string(30, 'a'), "short"};
  for (UINT i = 0; i < 3; ++i) {
    ASSERT_EQ(midiOutGetDevCapsA(i, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(caps.szPname, names[i]);
    EXPECT_EQ(caps.wTechnology, MOD_MIDIPORT);
  }
  EXPECT_EQ(midiOutGetDevCapsA(3, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(midiOutGetDevCapsA(MIDI_MAPPER, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(midiOutGetDevCapsA(0, nullptr, sizeof caps), MMSYSERR_INVALPARAM);
  // The full name stays whole for the list, --device and reconnection.
  std::string full;
  ASSERT_EQ(MidiOutGetDeviceName(1, full), MMSYSERR_NOERROR);
  EXPECT_EQ(full, split);
  EXPECT_EQ(MidiOutGetDeviceName(3, full), MMSYSERR_BADDEVICEID);
  // A caller's shorter structure gets only its own size.
  MIDIOUTCAPSA partial{};
  std::memset(&partial, 0x55, sizeof partial);
  ASSERT_EQ(midiOutGetDevCapsA(2, &partial, offsetof(MIDIOUTCAPSA, szPname) + 3), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(partial.szPname, 3), "sho");
  EXPECT_EQ(static_cast<unsigned char>(partial.szPname[3]), 0x55);
  // Device 2 was listed before but is gone from the list the open uses.
  Midi->SetDevices({"Delta"});
  ASSERT_EQ(midiOutGetNumDevs(), 1u);
  HMIDIOUT h = 0;
  EXPECT_EQ(midiOutOpen(&h, 2, &Record, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
}

// Bad arguments, and refusals of the backend or a device another program holds: the handle is
// left as it was.
TEST_F(MidiService, RefusedOpensLeaveTheHandleAsItWas) {
  ASSERT_EQ(midiOutGetNumDevs(), 3u);
  // Device, flags, a null handle, a null callback; the answer.
  const std::tuple<UINT, DWORD, bool, bool, MMRESULT> cases[] = {
      {3, CALLBACK_FUNCTION, false, false, MMSYSERR_BADDEVICEID},
      {MIDI_MAPPER, CALLBACK_FUNCTION, false, false, MMSYSERR_BADDEVICEID},
      {0, CALLBACK_FUNCTION, true, false, MMSYSERR_INVALPARAM},
      {0, CALLBACK_FUNCTION, false, true, MMSYSERR_INVALPARAM},
      {0, 0x50000, false, false, MMSYSERR_INVALFLAG}};
  HMIDIOUT h = 1234;
  for (const auto& [device, flags, noHandle, noCallback, result] : cases) {
    EXPECT_EQ(
        midiOutOpen(noHandle ? nullptr : &h, device, noCallback ? nullptr : &Record, 0, flags),
        result);
  }
  EXPECT_EQ(Midi->OpenCalls(), 0);
  Midi->HoldDevice("Alpha", true);
  EXPECT_EQ(midiOutOpen(&h, 0, &Record, 0, CALLBACK_FUNCTION), MMSYSERR_ALLOCATED);
  EXPECT_EQ(h, 1234u);
  Midi->HoldDevice("Alpha", false);
  h = OpenDevice(0);
  EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(Notes().size(), 2u);
}

// Each word is unpacked into the bytes its status calls for; a malformed one (no bytes) is refused.
TEST_F(MidiService, ShortMessagesAreUnpackedIntoTheBytesTheirStatusCallsFor) {
  const HMIDIOUT h = OpenDevice(1);
  const std::pair<DWORD, std::vector<std::uint8_t>> cases[] = {
      {0x007F14B3, {0xB3, 0x14, 0x7F}},
      {0xFF644099, {0x99, 0x40, 0x64}},  // bits 24-31 are ignored
      {0x00002AC5, {0xC5, 0x2A}},
      {0x00407FE0, {0xE0, 0x7F, 0x40}},
      {0x000000FA, {0xFA}},
      {0x00FFFFFB, {0xFB}},  // a real-time status ignores the rest of the word
      {0x000000FC, {0xFC}},
      {0x00000CF3, {0xF3, 0x0C}},
      {0x00000040, {}},
      {0x000000F0, {}},
      {0x000000F7, {}},
      {0x00008090, {}},
      {0x00800090, {}},
      {0x0000A0C0, {}},
  };
  for (const auto& [word, bytes] : cases) {
    Midi->ClearMessages();
    EXPECT_EQ(midiOutShortMsg(h, word), bytes.empty() ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR);
    std::vector<TRecordedMessage> expected;
    if (!bytes.empty()) expected.push_back({"Beta", bytes});
    EXPECT_EQ(Midi->Messages(), expected) << std::hex << word;
  }
  EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
}

// A device is open through one handle at a time; a handle is dead once closed, and the table entry
// opened again gets another. A handle stays on the backend it was opened on.
TEST_F(MidiService, ADeviceHasOneHandleAtATimeAndHandlesAreNeverReused) {
  EXPECT_EQ(midiOutShortMsg(0, 0xFA), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiOutShortMsg(0xDEADBEEF, 0xFA), MMSYSERR_INVALHANDLE);
  const HMIDIOUT first = OpenDevice(0);
  HMIDIOUT again = 0;
  EXPECT_EQ(midiOutOpen(&again, 0, &Record, 0, CALLBACK_FUNCTION), MMSYSERR_ALLOCATED);
  const HMIDIOUT other = OpenDevice(1);
  // Unprepare accepts a header never prepared, if the size is right.
  MIDIHDR header{};
  EXPECT_EQ(midiOutUnprepareHeader(first, &header, 64), MMSYSERR_NOERROR);
  EXPECT_EQ(midiOutUnprepareHeader(first, &header, sizeof(MIDIHDR) - 1), MMSYSERR_INVALPARAM);
  EXPECT_EQ(midiOutUnprepareHeader(first, nullptr, 64), MMSYSERR_INVALPARAM);
  ASSERT_EQ(midiOutClose(first), MMSYSERR_NOERROR);
  EXPECT_EQ(midiOutClose(first), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiOutShortMsg(first, 0xFA), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiOutUnprepareHeader(first, &header, sizeof header), MMSYSERR_INVALHANDLE);
  const HMIDIOUT second = OpenDevice(0);
  EXPECT_NE(second, first);
  EXPECT_EQ(Midi->OpenPorts(), 2);
  EXPECT_EQ(midiOutShortMsg(first, 0xFA), MMSYSERR_INVALHANDLE);
  {  // another backend in place: an open handle stays on its own
    TRecordingMidiService swapped({"Other"});
    ASSERT_EQ(midiOutGetNumDevs(), 1u);
    EXPECT_EQ(midiOutShortMsg(second, 0xFA), MMSYSERR_NOERROR);
    EXPECT_TRUE(swapped->Messages().empty());
  }
  EXPECT_EQ(Midi->Messages(), (std::vector<TRecordedMessage>{{"Alpha", {0xFA}}}));
  EXPECT_EQ(midiOutClose(second), MMSYSERR_NOERROR);
  EXPECT_EQ(midiOutClose(other), MMSYSERR_NOERROR);
  EXPECT_EQ(Midi->OpenPorts(), 0);
}

TEST_F(MidiService, RunsOutOfHandlesWithNoMemoryAndRecovers) {
  std::vector<std::string> many;
  for (int i = 0; i < 70; ++i) many.push_back("Port " + std::to_string(i));
  Midi->SetDevices(many);
  ASSERT_EQ(midiOutGetNumDevs(), 70u);
  std::vector<HMIDIOUT> handles;
  MMRESULT r = MMSYSERR_NOERROR;
  for (UINT i = 0; i < 70 && r == MMSYSERR_NOERROR; ++i) {
    HMIDIOUT h = 0;
    r = midiOutOpen(&h, i, nullptr, 0, CALLBACK_NULL);
    if (r == MMSYSERR_NOERROR) handles.push_back(h);
  }
  EXPECT_EQ(r, MMSYSERR_NOMEM);
  EXPECT_GE(handles.size(), 16u);
  ASSERT_EQ(midiOutClose(handles.back()), MMSYSERR_NOERROR);
  handles.pop_back();
  HMIDIOUT h = 0;
  EXPECT_EQ(midiOutOpen(&h, 69, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  handles.push_back(h);
  for (HMIDIOUT each : handles) EXPECT_EQ(midiOutClose(each), MMSYSERR_NOERROR);
}

// The real backend on a machine with no JACK server of that name and, in CI, no sequencer device:
// no devices, nothing printed, no server started.
TEST(RealMidiService, WithoutServersListsNothingAndStaysQuiet) {
  const std::string name = "halvorine-absent-" + std::to_string(::getpid());
  const char* saved = std::getenv("JACK_DEFAULT_SERVER");
  const bool had = saved != nullptr;
  const std::string previous = had ? saved : "";
  ::setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
  MidiOutSetBackend(nullptr);
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  const UINT count = midiOutGetNumDevs();
  HMIDIOUT h = 0;
  const MMRESULT r = midiOutOpen(&h, 0, nullptr, 0, CALLBACK_NULL);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  had ? ::setenv("JACK_DEFAULT_SERVER", previous.c_str(), 1) : ::unsetenv("JACK_DEFAULT_SERVER");
  if (::access("/dev/snd/seq", R_OK | W_OK) != 0) {
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(r, MMSYSERR_BADDEVICEID);
  }
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  // Had the service started a server under that name, it would answer now.
  jack_set_error_function(+[](const char*) {});
  jack_status_t status{};
  jack_client_t* client = jack_client_open(
      "halvorine-check", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
      name.c_str());
  EXPECT_EQ(client, nullptr);
  if (client != nullptr) jack_client_close(client);
}

// ALSA port names as RtMidi gives them: the address at the end, and what stays when the port's
// client comes back under another number. Names without an address (JACK's) stay as they are.
TEST(AlsaPortName, AddressAndIdentity) {
  using TAddress = std::optional<std::pair<int, int>>;
  for (const auto& [name, address, identity] :
       std::vector<std::tuple<std::string, TAddress, std::string>>{
           {"Virtual Raw MIDI 0-0:VirMIDI 0-0 16:0", std::pair{16, 0},
            "Virtual Raw MIDI 0-0:VirMIDI 0-0"},
           {"aseqdump:aseqdump 129:3", std::pair{129, 3}, "aseqdump:aseqdump"},
           {"a2j:Fast Track [20] (playback): Port 1", std::nullopt,
            "a2j:Fast Track [20] (playback): Port 1"},
           {"Client:Port 20:x", std::nullopt, "Client:Port 20:x"}}) {
    EXPECT_EQ(AlsaPortAddress(name), address) << name;
    EXPECT_EQ(AlsaPortIdentity(name), identity) << name;
  }
}

// While the device is away, control changes of one channel and controller merge into the one
// that waits, at its place; notes and transport keep their order; all goes out once, unasked,
// when a device of that name returns; the backlog shows as pending, then done. Each notice comes
// with the handle and the caller's instance, from the service's own thread.
TEST_F(MidiService, ADeviceThatReturnsGetsTheLatestValuesOnceAndEverythingElseInOrder) {
  const HMIDIOUT h = OpenDevice(0, 7);
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
  EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(Notes(), (std::vector<std::pair<HMIDIOUT, UINT>>{
                         {h, MOM_OPEN}, {h, MOM_PENDING}, {h, MOM_DONE}, {h, MOM_CLOSE}}));
  std::lock_guard lock(Seen.Lock);
  EXPECT_NE(Seen.Thread, std::this_thread::get_id());
  EXPECT_EQ(Seen.Instances, std::vector<DWORD_PTR>(4, 7));
}

TEST_F(MidiService, AwayTheQueueKeepsOneValuePerControllerAndDropsTheOldestOthers) {
  const HMIDIOUT h = OpenDevice(0);
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

// A stalled server: every call hangs until it resumes. The caller's calls come back in bounded
// time; what was asked is done once the server answers.
TEST_F(MidiService, AStalledServerHoldsNoCallerAndCatchesUpAfterwards) {
  const HMIDIOUT h = OpenDevice(0);
  Midi->Stall(true);
  ASSERT_EQ(midiOutShortMsg(h, Word(0xFA)), MMSYSERR_NOERROR);
  ASSERT_TRUE(Eventually([&] { return Midi->BlockedCalls() == 1; }));
  {
    TManualTickCount clock(0, 500);
    EXPECT_EQ(midiOutGetNumDevs(), 3u) << "the list read last stands";
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
  EXPECT_EQ(Messages(), (std::vector<UINT>{MOM_OPEN, MOM_CLOSE, MOM_OPEN, MOM_CLOSE}));
  EXPECT_EQ(Midi->OpenPorts(), 0);
}

// A server that freezes while 24 controllers move: once the device is slow to take the message
// it holds (values of one controller merge), every value sent merges into the one waiting for its
// controller, so one message per controller follows, each on its last value.
TEST_F(MidiService, AfterAFreezeOneValuePerControllerGoesOut) {
  const HMIDIOUT h = OpenDevice(0);
  Midi->Stall(true);
  ASSERT_EQ(midiOutShortMsg(h, Word(0xB0, 1, 0)), MMSYSERR_NOERROR);
  ASSERT_TRUE(Eventually([&] { return Midi->BlockedCalls() == 1; }));
  std::size_t queued = 1;
  ASSERT_TRUE(Eventually([&] {
    midiOutShortMsg(h, Word(0xB0, 100, 0));
    const std::size_t before = std::exchange(queued, MidiOutGetState(h).Queued);
    return before == queued;
  }));
  for (int move = 0; move < 200; ++move) {
    for (std::uint8_t p = 0; p < 24; ++p) midiOutShortMsg(h, Word(0xB0, p, move % 128));
  }
  EXPECT_EQ(MidiOutGetState(h).Queued, queued + 24) << "one more per controller";
  Midi->Stall(false);
  ASSERT_TRUE(Eventually([&] { return MidiOutGetState(h).Queued == 0; }));
  const std::vector<TRecordedMessage> sent = Midi->Messages();
  ASSERT_EQ(sent.size(), queued + 24);
  for (std::uint8_t p = 0; p < 24; ++p) {
    EXPECT_EQ(sent[queued + p].Bytes, (TBytes{0xB0, p, 199 % 128}));
  }
  EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
}
