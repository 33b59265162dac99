#include "MidiSendQueue.h"

#include <algorithm>

void TMidiSendQueue::Push(const std::uint8_t* bytes, std::size_t count, TClock::time_point now) {
  if (IsControlChange(bytes, count)) {
    std::uint64_t& waiting = FControllerSeq[ControllerKey(bytes)];
    const bool held =
        FHeld || FRate != kUnpaced || (FInFlightEnd != 0 && now - FTakenAt >= kSlowHandover);
    if (held && waiting != 0 && waiting >= FInFlightEnd) {
      At(waiting).Bytes[2] = bytes[2];
      return;
    }
    waiting = FNextSeq;
  } else {
    ++FOthers;
    if (IsTransport(bytes[0])) FTransportSeqs.push_back(FNextSeq);
  }
  TMessage m;
  m.Seq = FNextSeq++;
  m.Queued = now;
  std::copy(bytes, bytes + count, m.Bytes.begin());
  m.Count = static_cast<std::uint8_t>(count);
  FQueue.push_back(m);
  if (FOthers > FOtherLimit) DropOldestOther();
}

std::span<const TMidiSendQueue::TMessage> TMidiSendQueue::Take(TClock::time_point now,
                                                               TClock::time_point& wake) {
  while (!FQueue.empty() && FQueue.front().Count == 0) PopFront();
  if (FQueue.empty()) return {};
  if (now < FRetryAt) {
    wake = std::min(wake, FRetryAt);
    return {};
  }
  if (FRate != kUnpaced && now + kPaceSlack < FNextFree) {
    wake = std::min(wake, FNextFree - kPaceSlack);
    return {};
  }
  const std::size_t take = FRate == kUnpaced ? std::min(FQueue.size(), kBatch) : 1;
  std::copy_n(FQueue.begin(), take, FBatch.begin());
  FInFlightEnd = FBatch[take - 1].Seq + 1;
  FTakenAt = now;
  return {FBatch.data(), take};
}

void TMidiSendQueue::Charge(std::size_t bytes, TClock::time_point now) {
  if (FRate == kUnpaced || bytes == 0) return;
  FNextFree = std::max(now, FNextFree) +
              std::chrono::duration_cast<TClock::duration>(std::chrono::seconds(bytes)) / FRate;
}

void TMidiSendQueue::Sent(std::size_t done, bool refused, TClock::time_point now) {
  FInFlightEnd = 0;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < done && !FQueue.empty(); ++i) {
    bytes += FQueue.front().Count;
    PopFront();
  }
  if (FRate != kUnpaced && bytes > 0) {
    FNextFree = std::max(FTakenAt, FNextFree) +
                std::chrono::duration_cast<TClock::duration>(std::chrono::seconds(bytes)) / FRate;
  }
  if (!refused) {
    FRefusingSince.reset();
    return;
  }
  // The device refuses from now on, or has refused since the last message it took.
  if (bytes > 0 || !FRefusingSince) FRefusingSince = now;
  FRetryAt = now + (Stuck(now) ? kStuckRetry : kRefusedRetry);
}

void TMidiSendQueue::Expire(TClock::time_point now, TClock::time_point& wake) {
  while (!FTransportSeqs.empty()) {
    TMessage& m = At(FTransportSeqs.front());
    if (m.Count != 0) {
      if (m.Seq < FInFlightEnd) return;
      if (now - m.Queued < FTransportLimit) {
        wake = std::min(wake, m.Queued + FTransportLimit);
        return;
      }
      DropInPlace(m);
      ++FTransportDropped;
    }
    FTransportSeqs.pop_front();
  }
}

std::size_t TMidiSendQueue::Clear() {
  const std::size_t dropped = Size();
  FQueue.clear();
  FOthers = 0;
  FDroppedInPlace = 0;
  std::fill(FControllerSeq.begin(), FControllerSeq.end(), 0);
  FTransportSeqs.clear();
  FInFlightEnd = 0;
  Resume();
  return dropped;
}

TMidiSendQueue::TNotice TMidiSendQueue::SetHeld(bool held) {
  FHeld = held;
  if (held && Size() > 0 && !FReportedPending) {
    FReportedPending = true;
    return TNotice::Pending;
  }
  if (Size() == 0 && FReportedPending) {
    FReportedPending = false;
    return TNotice::Done;
  }
  return TNotice::None;
}

void TMidiSendQueue::DropInPlace(TMessage& m) {
  m.Count = 0;
  ++FDroppedInPlace;
  --FOthers;
}

void TMidiSendQueue::DropOldestOther() {
  for (TMessage& m : FQueue) {
    if (m.Count == 0 || m.Seq < FInFlightEnd || IsControlChange(m.Bytes.data(), m.Count)) continue;
    DropInPlace(m);
    ++FDropped;
    return;
  }
}

void TMidiSendQueue::PopFront() {
  const TMessage& m = FQueue.front();
  if (m.Count == 0) {
    --FDroppedInPlace;
  } else if (IsControlChange(m.Bytes.data(), m.Count)) {
    std::uint64_t& waiting = FControllerSeq[ControllerKey(m.Bytes.data())];
    if (waiting == m.Seq) waiting = 0;
  } else {
    --FOthers;
  }
  while (!FTransportSeqs.empty() && FTransportSeqs.front() <= m.Seq) FTransportSeqs.pop_front();
  FQueue.pop_front();
}
