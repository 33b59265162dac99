#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "MidiBytes.h"

// The send queue of one open output: the short messages that wait to go to the device, in order,
// and the arithmetic of when the next may go. A plain object: no lock and no thread; its owner
// serialises the calls and gives the time.
//
// - While output cannot go out at once (a backlog is held, the device is paced, or it has been
//   taking a batch for longer than kSlowHandover: a device that blocks, a server that froze), a
//   control change takes the place of a waiting one of its channel and controller (the latest
//   value wins, at the place of the first arrival) unless that one is being handed to the device
//   now. Only the status's channel and the controller number decide; every other message waits
//   unmerged and in order. Output that goes straight through is never merged: every value sent
//   reaches the device.
// - At most OtherLimit messages that are not control changes wait; beyond that the oldest of them
//   is dropped and counted (Dropped). Control changes need no limit: 16 x 128 at most can wait.
// - Start, Stop and Continue that could not be handed over within TransportLimit of being queued
//   are dropped and counted apart (TransportDropped): the instrument must not start seconds late.
// - Pacing: a device with a rate gets one message at a time, each charged its own length in bytes
//   at that rate; an unpaced device gets up to kBatch at once.
// - A batch is handed out by Take and stays in flight until Sent says how many of it left the
//   queue; a batch refused part-way resumes with the first message not sent.
// - Notices: Pending once when a backlog forms (the queue cannot drain at once), Done once when
//   it has gone; none for output that goes straight through.
class TMidiSendQueue {
public:
  using TClock = std::chrono::steady_clock;

  // One waiting message. Sequence numbers run without gaps along the queue, so a message is found
  // from its number; a message dropped in place keeps its place with Count 0.
  struct TMessage {
    std::uint64_t Seq = 0;
    TClock::time_point Queued{};
    std::array<std::uint8_t, 3> Bytes{};
    std::uint8_t Count = 0;  // 1 to 3; 0 for a message dropped in place
  };

  enum class TNotice { None, Pending, Done };

  static constexpr std::size_t kBatch = 64;
  static constexpr std::size_t kControllerKeys = 16 * 128;
  static constexpr std::uint32_t kUnpaced = 0;
  // A paced message may go out this much before its time: a wake-up is not exact.
  static constexpr auto kPaceSlack = std::chrono::microseconds(500);
  // How long a refused message waits before it is offered again; longer once the device has
  // refused everything for StuckAfter.
  static constexpr auto kRefusedRetry = std::chrono::milliseconds(2);
  static constexpr auto kStuckRetry = std::chrono::milliseconds(10);
  // A device still taking a batch after this does not take output at once.
  static constexpr auto kSlowHandover = std::chrono::milliseconds(1);

  explicit TMidiSendQueue(std::size_t otherLimit = 1024,
                          TClock::duration transportLimit = std::chrono::seconds(1),
                          TClock::duration stuckAfter = std::chrono::milliseconds(250))
      : FOtherLimit(otherLimit), FTransportLimit(transportLimit), FStuckAfter(stuckAfter) {}

  // Queues a complete message of `count` (1 to 3) bytes. `now` is needed only for Start, Stop and
  // Continue and while a batch is in flight (NeedsTime); otherwise any value will do.
  void Push(const std::uint8_t* bytes, std::size_t count, TClock::time_point now);
  bool NeedsTime(std::uint8_t status) const { return FInFlightEnd != 0 || IsTransport(status); }

  // The messages to hand to the device now, in flight until Sent; empty when nothing waits, or
  // when it is not yet time (then `wake` is lowered to that time). Messages dropped in place may
  // be among them (Count 0): they are not to be sent, but count in Sent's `done`.
  std::span<const TMessage> Take(TClock::time_point now, TClock::time_point& wake);
  // What became of the batch: its first `done` messages left the queue (sent, or refused for a
  // reason of their own); `refused` when the device then refused one for want of room, which is
  // offered again after a short wait. Charges the pacing for what left.
  void Sent(std::size_t done, bool refused, TClock::time_point now);
  // Books bytes that went to the device beside the queue (clock ticks) against a paced device's
  // rate, so that what follows them keeps to the wire's speed.
  void Charge(std::size_t bytes, TClock::time_point now);

  // Drops Start, Stop and Continue that have waited TransportLimit; lowers `wake` to when the next
  // would expire.
  void Expire(TClock::time_point now, TClock::time_point& wake);
  // Empties the queue; returns how many messages were dropped.
  std::size_t Clear();

  // Whether the queue cannot drain at once now; returns the notice to post, if any.
  TNotice SetHeld(bool held);
  bool Held() const { return FHeld; }

  // True once the device has refused every message offered for StuckAfter: nothing drains.
  bool Stuck(TClock::time_point now) const {
    return FRefusingSince && now - *FRefusingSince >= FStuckAfter;
  }

  void SetRate(std::uint32_t bytesPerSecond) { FRate = bytesPerSecond; }
  std::uint32_t Rate() const { return FRate; }
  // Offers the next message at once: a device that came back is tried without delay.
  void Resume() {
    FRetryAt = {};
    FRefusingSince.reset();
  }

  bool Empty() const { return FQueue.empty(); }
  // Messages waiting, not counting those dropped in place.
  std::size_t Size() const { return FQueue.size() - FDroppedInPlace; }
  std::uint64_t Dropped() const { return FDropped; }
  std::uint64_t TransportDropped() const { return FTransportDropped; }

  static bool IsControlChange(const std::uint8_t* bytes, std::size_t count) {
    return count == 3 && MidiStatusKind(bytes[0]) == kMidiControlChange;
  }
  static bool IsTransport(std::uint8_t status) {
    return status == kMidiStart || status == kMidiContinue || status == kMidiStop;
  }

private:
  static std::size_t ControllerKey(const std::uint8_t* bytes) {
    return static_cast<std::size_t>(bytes[0] & 0x0F) * 128 + bytes[1];
  }
  TMessage& At(std::uint64_t seq) { return FQueue[seq - FQueue.front().Seq]; }
  void DropInPlace(TMessage& m);
  void DropOldestOther();
  void PopFront();

  const std::size_t FOtherLimit;
  const TClock::duration FTransportLimit;
  const TClock::duration FStuckAfter;
  std::deque<TMessage> FQueue;
  std::uint64_t FNextSeq = 1;
  std::size_t FOthers = 0;  // waiting messages that are not control changes
  std::size_t FDroppedInPlace = 0;
  std::vector<std::uint64_t> FControllerSeq = std::vector<std::uint64_t>(kControllerKeys, 0);
  std::deque<std::uint64_t> FTransportSeqs;  // Start, Stop and Continue waiting, oldest first
  // Messages numbered below this are being handed over: never changed or dropped.
  std::uint64_t FInFlightEnd = 0;
  std::array<TMessage, kBatch> FBatch{};
  TClock::time_point FTakenAt{};
  bool FHeld = false;
  bool FReportedPending = false;
  std::uint64_t FDropped = 0;
  std::uint64_t FTransportDropped = 0;
  std::uint32_t FRate = kUnpaced;
  TClock::time_point FNextFree{};
  TClock::time_point FRetryAt{};
  std::optional<TClock::time_point> FRefusingSince;
};
