#include "MidiNotifier.h"

void TMidiNotifier::Post(const TNotification& n) {
  {
    std::lock_guard lock(FLock);
    FQueue.push_back(n);
    ++FPosted;
  }
  FWake.notify_all();
}

void TMidiNotifier::Flush() {
  std::unique_lock lock(FLock);
  const std::uint64_t target = FPosted;
  FWake.wait(lock, [&] { return FDelivered >= target; });
}

void TMidiNotifier::Run() {
  std::unique_lock lock(FLock);
  for (;;) {
    FWake.wait(lock, [&] { return !FQueue.empty(); });
    const TNotification n = FQueue.front();
    FQueue.pop_front();
    lock.unlock();
    n.Proc(n.Handle, n.Message, n.Instance, 0, 0);
    lock.lock();
    ++FDelivered;
    FWake.notify_all();
  }
}
