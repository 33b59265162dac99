#pragma once

// The one way tests wait for what another thread, a server, a child process or the event loop
// brings about: poll a condition until it holds. Tests never sleep for a fixed time instead; a
// busy machine only makes the wait longer.

#include <chrono>
#include <thread>

namespace halvorine_test {

// Runs between two looks at the condition. The widget tests' mains set it to process the Qt event
// loop (timers, queued calls, paint), so that a condition the window brings about can come true
// while the test waits; elsewhere the wait sleeps 2 ms.
using TEventPump = void (*)();
inline TEventPump& EventPump() {
  static TEventPump pump = nullptr;
  return pump;
}

// Long enough for a machine under full load; a condition that holds returns at once.
inline constexpr std::chrono::milliseconds kEventuallyTimeout = std::chrono::seconds(20);

// True as soon as `done()` holds; false once `timeout` has passed without it.
template <typename TDone>
bool Eventually(TDone done, std::chrono::milliseconds timeout = kEventuallyTimeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (TEventPump pump = EventPump()) {
      pump();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

}  // namespace halvorine_test
