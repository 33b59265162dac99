#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "JackHarness.h"
#include "MidiBackend.h"
#include "MidiOut.h"
#include "MidiOutService.h"
#include "RecordingMidiBackend.h"

namespace {

using TMessages = std::vector<std::vector<std::uint8_t>>;

// Each test runs on its own JACK server; the fixture ends it, also when the test fails.
class MidiOverJack : public ::testing::Test {
protected:
  void SetUp() override {
    MidiOutSetBackend(nullptr);
    ASSERT_TRUE(Jack.Start()) << Jack.Error();
  }
  void TearDown() override { Jack.Stop(); }

  TJackHarness Jack;
};

}  // namespace

TEST(JackDumpLine, ParsesTheBytesOfAMessageLine) {
  using TBytes = std::vector<std::uint8_t>;
  using TResult = std::optional<TBytes>;
  const std::pair<const char*, TResult> cases[] = {
      {"   0: b3 14 7f control change (channel  3): controller  20, value 127",
       TResult(TBytes{0xB3, 0x14, 0x7F})},
      {"   0: fa", TResult(TBytes{0xFA})},
      {"12.5: 99 24 00 note on", TResult(TBytes{0x99, 0x24, 0x00})},
      {"no message buffer overruns", std::nullopt},
      {"Cannot read socket fd = 9 err = Success", std::nullopt},
      {"   0: ", std::nullopt}};
  for (const auto& [line, bytes] : cases)
    EXPECT_EQ(TJackHarness::ParseDumpLine(line), bytes) << line;
}

// jack_midi_dump keeps about a hundred events between two looks of its own thread, and RtMidi
// hands over everything written since the last cycle in one: a burst is spread over the server's
// cycles. Send all (16 sounds x 24 parameters, every one its own channel and controller) and then
// as many notes as the queue holds all reach the dump, whole and in order, and the sends never
// wait for the device. Then each kind of message the port sends arrives as exactly its bytes.
TEST_F(MidiOverJack, ABurstArrivesWholeSpreadOverCyclesAndEachMessageAsItsBytes) {
  const int device = TJackHarness::DumpDevice();
  ASSERT_GE(device, 0) << "the dump's input is not listed";
  TMidiOut port;
  port.SetDeviceID(device);
  ASSERT_TRUE(port.Open()) << "ErrorCode " << port.ErrorCode();
  TMessages sent;
  const auto start = std::chrono::steady_clock::now();
  for (std::uint8_t channel = 0; channel < 4; ++channel) {
    for (std::uint8_t c = 0; c < 96; ++c) {
      const auto value = static_cast<std::uint8_t>((channel * 96 + c) & 0x7F);
      ASSERT_EQ(port.SendControlChange(channel, 16 + c, value), MMSYSERR_NOERROR);
      sent.push_back(
          {static_cast<std::uint8_t>(0xB0 | channel), static_cast<std::uint8_t>(16 + c), value});
    }
  }
  for (std::size_t i = 0; i < kMidiOutQueueOtherLimit; ++i) {
    const auto key = static_cast<std::uint8_t>(i & 0x7F);
    ASSERT_EQ(port.SendNoteOn(9, key, 1), MMSYSERR_NOERROR);
    sent.push_back({0x99, key, 1});
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(Jack.WaitForMessages(sent.size(), std::chrono::seconds(10)));
  EXPECT_EQ(port.SendControlChange(3, 20, 127), MMSYSERR_NOERROR);
  EXPECT_EQ(port.SendNoteOn(9, 36, 100), MMSYSERR_NOERROR);
  EXPECT_EQ(port.SendNoteOff(9, 36), MMSYSERR_NOERROR);
  EXPECT_EQ(port.SendStart(), MMSYSERR_NOERROR);
  EXPECT_EQ(port.SendContinue(), MMSYSERR_NOERROR);
  EXPECT_EQ(port.SendStop(), MMSYSERR_NOERROR);
  // A marker last: once it has come, nothing more of the rest can.
  EXPECT_EQ(port.SendControlChange(15, 127, 127), MMSYSERR_NOERROR);
  sent.insert(sent.end(), {{0xB3, 0x14, 0x7F},
                           {0x99, 0x24, 0x64},
                           {0x99, 0x24, 0x00},
                           {0xFA},
                           {0xFB},
                           {0xFC},
                           {0xBF, 0x7F, 0x7F}});
  EXPECT_TRUE(Jack.WaitForMessages(sent.size(), std::chrono::seconds(10)));
  const TMessages got = Jack.DumpedMessages();
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent) << "the first 384 arrived: "
                           << std::equal(sent.begin(), sent.begin() + 384, got.begin(),
                                         got.begin() + std::min<std::size_t>(got.size(), 384));
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.SendStart(), MMSYSERR_INVALHANDLE);
}

// Sends to a server that has stopped are lost without waiting, the close raises nothing, a device
// that left fails to open with the service's code; a new port works once a server is back.
TEST_F(MidiOverJack, TheServerStoppingWhileOpenLosesSendsButNothingElse) {
  const int device = TJackHarness::DumpDevice();
  ASSERT_GE(device, 0);
  auto port = std::make_unique<TMidiOut>();
  port->SetDeviceID(device);
  ASSERT_TRUE(port->Open());
  port->SendControlChange(0, 1, 2);
  ASSERT_TRUE(Jack.WaitForMessages(1, std::chrono::seconds(10)));

  Jack.StopServer();
  // Far more than the server's buffer would hold: sends must not wait for a server that is gone.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5000; ++i) {
    port->SendControlChange(0, 1, static_cast<std::uint8_t>(i & 0x7F));
    port->SendNoteOn(0, 60, 1);
    port->SendStart();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NO_THROW(port->Close()) << "what waits for a server that is gone is dropped";
  port.reset();
  {
    TMidiOut left;
    left.SetDeviceID(device);
    EXPECT_FALSE(left.Open());
    EXPECT_NE(left.ErrorCode(), 0);
    EXPECT_NE(left.ErrorCode(), TMidiOut::kErrorOpenTimeout);
    EXPECT_EQ(TJackHarness::DumpDevice(), -1) << "the list read afresh no longer has it";
  }

  Jack.Stop();
  ASSERT_TRUE(Jack.Start()) << Jack.Error();
  TMidiOut again;
  EXPECT_EQ(again.PoolIndex(), 0);
  again.SetDeviceID(TJackHarness::DumpDevice());
  ASSERT_GE(again.DeviceID(), 0);
  ASSERT_TRUE(again.Open()) << "ErrorCode " << again.ErrorCode();
  again.SendStop();
  ASSERT_TRUE(Jack.WaitForMessages(1, std::chrono::seconds(10)));
  EXPECT_EQ(Jack.DumpedMessages(), TMessages{{0xFC}});
}
