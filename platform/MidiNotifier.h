#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "MidiOutService.h"

// The MIDI output service's notification thread: delivers posted notifications to their
// callbacks in the order they were posted, one at a time, never on the poster's thread.
class TMidiNotifier {
public:
  struct TNotification {
    TMidiOutProc Proc;
    HMIDIOUT Handle;
    UINT Message;
    DWORD_PTR Instance;
  };

  TMidiNotifier() : FThread([this] { Run(); }) {}
  // Never destroyed while the service exists: the service lives until the process ends.
  TMidiNotifier(const TMidiNotifier&) = delete;
  TMidiNotifier& operator=(const TMidiNotifier&) = delete;

  // Callable from any thread.
  void Post(const TNotification& n);
  // Waits until everything posted before the call has been delivered.
  void Flush();

private:
  void Run();

  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TNotification> FQueue;
  std::uint64_t FPosted = 0;
  std::uint64_t FDelivered = 0;
  std::thread FThread;  // last: starts once the members above exist
};
