#pragma once

// Polls a condition that another thread brings about (the MIDI service's worker or notification
// thread, a JACK server, a child process), every 2 ms.

#include <chrono>
#include <thread>

namespace halvorine_test {

// True as soon as `done()` holds; false once `timeout` has passed without it.
template <typename TDone>
bool Eventually(TDone done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace halvorine_test
