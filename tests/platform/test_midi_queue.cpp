// The send queue by itself, on a scripted clock. The service's queue, pacing and device lifecycle
// are tested with the service (test_midi_service.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "MidiBackend.h"
#include "MidiSendQueue.h"

using TBytes = std::vector<std::uint8_t>;

// ---- The queue alone: each case is a script of calls at given microseconds ----

using TQueue = TMidiSendQueue;
using TNotice = TQueue::TNotice;

struct TStep {
  enum TOp { Push, Take, Sent, Refused, Expire, Held, Released, Charge, Stuck, Clear } Op;
  std::int64_t Us = 0;      // the time of the call
  TBytes Bytes = {};        // Push: the message; Take: what the batch holds, bytes run together
  std::int64_t Value = -1;  // Sent/Refused: messages done; Take/Expire: the wake expected, or -1;
                            // Held/Released: the notice expected; Charge: the bytes;
                            // Stuck: 1 when stuck; Clear: the messages dropped
};
TStep P(std::int64_t us, TBytes m) { return {TStep::Push, us, std::move(m)}; }
TStep T(std::int64_t us, TBytes batch, std::int64_t wake = -1) {
  return {TStep::Take, us, std::move(batch), wake};
}
TStep S(std::int64_t us, std::int64_t done) { return {TStep::Sent, us, {}, done}; }
TStep R(std::int64_t us, std::int64_t done) { return {TStep::Refused, us, {}, done}; }
TStep X(std::int64_t us, std::int64_t wake = -1) { return {TStep::Expire, us, {}, wake}; }
TStep C(std::int64_t us, std::int64_t bytes) { return {TStep::Charge, us, {}, bytes}; }
TStep H(TNotice n) { return {TStep::Held, 0, {}, static_cast<std::int64_t>(n)}; }
TStep D(TNotice n) { return {TStep::Released, 0, {}, static_cast<std::int64_t>(n)}; }
TStep K(std::int64_t us, bool stuck) { return {TStep::Stuck, us, {}, stuck}; }
TStep Z(std::int64_t dropped) { return {TStep::Clear, 0, {}, dropped}; }

struct TQueueCase {
  const char* Name;
  std::uint32_t Rate;
  std::size_t OtherLimit;
  std::vector<TStep> Steps;
  std::size_t Size, Dropped, TransportDropped;
};

constexpr std::int64_t kSecond = 1000000;
const TBytes kNotes = {0x90, 1, 1, 0x90, 1, 1, 0x90, 1, 1};
constexpr TNotice kNone = TNotice::None, kPending = TNotice::Pending, kDone = TNotice::Done;

// Name, rate, limit of other messages; the script; then the size, dropped and transport dropped.
// clang-format off
const TQueueCase kQueueCases[] = {
    {"OnlyChannelAndControllerMakeTheSameControlChange", 0, 8,
     {H(kNone), P(0, {0xB0, 16, 1}), P(0, {0xB1, 16, 2}), P(0, {0xB0, 17, 3}), P(0, {0xA0, 16, 4}),
      P(0, {0x90, 60, 100}), P(0, {0x90, 60, 0}), P(0, {0xB0, 16, 5}), P(0, {0xB1, 16, 6}),
      T(0, {0xB0, 16, 5, 0xB1, 16, 6, 0xB0, 17, 3, 0xA0, 16, 4, 0x90, 60, 100, 0x90, 60, 0})},
     6, 0, 0},
    {"AValueInFlightIsNotChangedTheNextWaitsBehind", 0, 8,
     {H(kNone), P(0, {0xB0, 16, 1}), P(0, {0xB0, 17, 1}), T(0, {0xB0, 16, 1, 0xB0, 17, 1}),
      P(0, {0xB0, 16, 2}), R(0, 1), P(0, {0xB0, 17, 3}), P(0, {0xB0, 16, 4}),
      T(2000, {0xB0, 17, 3, 0xB0, 16, 4}), S(2000, 2), T(2000, {})},
     0, 0, 0},
    // Straight through every value goes out; once the device has taken a millisecond over a
    // batch, values merge.
    {"MergingOnlyWhenOutputCannotGoOutAtOnce", 0, 8,
     {P(0, {0xB0, 1, 1}), P(0, {0xB0, 1, 2}), T(0, {0xB0, 1, 1, 0xB0, 1, 2}), P(999, {0xB0, 1, 3}),
      P(999, {0xB0, 1, 4}), P(1000, {0xB0, 1, 5}), S(1000, 2), T(1000, {0xB0, 1, 3, 0xB0, 1, 5})},
     2, 0, 0},
    {"ARefusedBatchResumesAtTheFirstMessageNotSent", 0, 8,
     {P(0, {0x90, 1, 1}), P(0, {0x90, 2, 1}), P(0, {0xFA}), P(0, {0x90, 3, 1}),
      T(0, {0x90, 1, 1, 0x90, 2, 1, 0xFA, 0x90, 3, 1}), R(100, 2), T(101, {}, 2100),
      T(2100, {0xFA, 0x90, 3, 1}), R(2100, 0), T(4100, {0xFA, 0x90, 3, 1}), S(4100, 2)},
     0, 0, 0},
    // 3,125 bytes a second: 320 us a byte, each message charged its own length, sent early by
    // at most the slack of 500 us. A paced wire is always behind: values waiting merge.
    {"PacingChargesEachMessageItsLength", kMidiDinRate, 8,
     {P(0, {0xB0, 16, 1}), P(0, {0xFA}), P(0, {0xC0, 5}), P(0, {0xB0, 17, 1}), P(0, {0xB0, 17, 2}),
      T(0, {0xB0, 16, 1}), S(0, 1), T(459, {}, 460), T(460, {0xFA}), S(460, 1), T(779, {}, 780),
      T(780, {0xC0, 5}), S(780, 1), T(1419, {}, 1420), T(1420, {0xB0, 17, 2}), S(1420, 1)},
     0, 0, 0},
    // A clock tick sent beside the queue takes its byte's time from what waits.
    {"BytesSentBesideTheQueueAreChargedToo", kMidiDinRate, 8,
     {P(0, {0xB0, 16, 1}), P(0, {0xB0, 17, 1}), T(0, {0xB0, 16, 1}), S(0, 1), C(100, 1),
      T(779, {}, 780), T(780, {0xB0, 17, 1}), S(780, 1), C(5000, 2),
      P(5000, {0xB0, 18, 1}), T(5000, {}, 5640 - 500)},
     1, 0, 0},
    {"OverTheLimitTheOldestOtherGoesControlChangesStay", 0, 3,
     {P(0, {0xFA}), P(0, {0xB0, 1, 1}), P(0, {0x90, 1, 1}), P(0, {0x90, 2, 1}), P(0, {0xB1, 1, 1}),
      P(0, {0x90, 3, 1}), P(0, {0x90, 4, 1}),
      T(0, {0xB0, 1, 1, 0x90, 2, 1, 0xB1, 1, 1, 0x90, 3, 1, 0x90, 4, 1})},
     5, 2, 0},
    {"TransportWaitingASecondIsDroppedOthersStay", 0, 8,
     {P(0, {0xFA}), P(0, {0xB0, 1, 1}), P(500000, {0xFC}), P(500000, {0xFB}), X(999999, kSecond),
      X(kSecond, 1500000), X(1600000), T(1600000, {0xB0, 1, 1})},
     1, 0, 3},
    {"TransportInFlightIsNotDropped", 0, 8,
     {P(0, {0xFA}), P(0, {0xFC}), T(0, {0xFA, 0xFC}), X(2 * kSecond), R(2 * kSecond, 1),
      X(2 * kSecond), T(3 * kSecond, {})},
     0, 0, 1},
    {"ABacklogIsReportedOnceWhenItFormsAndOnceWhenItEnds", 0, 8,
     {P(0, {0xFA}), D(kNone), T(0, {0xFA}), S(0, 1), D(kNone), P(0, {0xFA}), H(kPending),
      P(0, {0xFB}), H(kNone), T(0, {0xFA, 0xFB}), H(kNone), S(0, 2), H(kDone), D(kNone)},
     0, 0, 0},
    // A device that refuses everything for a quarter of a second is taken as stuck (nothing
    // drains, a close drops what waits); one message taken starts the count again.
    {"AfterAQuarterSecondOfRefusalsOnlyTheDeviceIsStuck", 0, 1024,
     {P(0, {0x90, 1, 1}), P(0, {0x90, 1, 1}), P(0, {0x90, 1, 1}), T(0, kNotes), R(0, 0),
      K(249999, false), K(250000, true), T(300000, kNotes), R(300000, 1), K(500000, false), Z(2),
      K(5 * kSecond, false)},
     0, 0, 0},
};
// clang-format on

void PrintTo(const TQueueCase& c, std::ostream* os) { *os << c.Name; }

class MidiSendQueue : public testing::TestWithParam<TQueueCase> {};

TEST_P(MidiSendQueue, FollowsTheScript) {
  const TQueueCase& c = GetParam();
  TQueue queue(c.OtherLimit);
  queue.SetRate(c.Rate);
  const TQueue::TClock::time_point start{};
  const auto at = [&](std::int64_t us) { return start + std::chrono::microseconds(us); };
  const TQueue::TClock::time_point never = at(100 * kSecond);
  for (std::size_t i = 0; i < c.Steps.size(); ++i) {
    const TStep& s = c.Steps[i];
    SCOPED_TRACE(testing::Message() << "step " << i);
    TQueue::TClock::time_point wake = never;
    switch (s.Op) {
      case TStep::Push:
        queue.Push(s.Bytes.data(), s.Bytes.size(), at(s.Us));
        break;
      case TStep::Take: {
        TBytes got;
        for (const TQueue::TMessage& m : queue.Take(at(s.Us), wake)) {
          got.insert(got.end(), m.Bytes.begin(), m.Bytes.begin() + m.Count);
        }
        EXPECT_EQ(got, s.Bytes);
        if (s.Value >= 0) {
          EXPECT_EQ(wake, at(s.Value));
        }
        break;
      }
      case TStep::Sent:
      case TStep::Refused:
        queue.Sent(static_cast<std::size_t>(s.Value), s.Op == TStep::Refused, at(s.Us));
        break;
      case TStep::Expire:
        queue.Expire(at(s.Us), wake);
        EXPECT_EQ(wake, s.Value >= 0 ? at(s.Value) : never);
        break;
      case TStep::Charge:
        queue.Charge(static_cast<std::size_t>(s.Value), at(s.Us));
        break;
      case TStep::Stuck:
        EXPECT_EQ(queue.Stuck(at(s.Us)), s.Value != 0);
        break;
      case TStep::Clear:
        EXPECT_EQ(queue.Clear(), static_cast<std::size_t>(s.Value));
        break;
      case TStep::Held:
      case TStep::Released:
        EXPECT_EQ(queue.SetHeld(s.Op == TStep::Held), static_cast<TNotice>(s.Value));
        break;
    }
  }
  EXPECT_EQ(queue.Size(), c.Size);
  EXPECT_EQ(queue.Dropped(), c.Dropped);
  EXPECT_EQ(queue.TransportDropped(), c.TransportDropped);
}

INSTANTIATE_TEST_SUITE_P(Scripts, MidiSendQueue, testing::ValuesIn(kQueueCases),
                         [](const auto& info) { return std::string(info.param.Name); });

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
      {"Name=99999999999", std::nullopt}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseMidiRateOption(text), expected) << text;
}
