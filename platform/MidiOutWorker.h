#pragma once

// The worker of the MIDI output service (platform/MidiOutService.cpp holds its functions): the
// thread that makes every call into the backend, drains the send queues, watches open devices and
// reopens those that return, with the lock that guards it and the handle table. Not for use beyond
// the service.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MidiBackend.h"
#include "MidiNotifier.h"
#include "MidiOutHandles.h"
#include "MidiOutService.h"
#include "TickCount.h"

namespace midi_service {

// The worker thread and what it serves. Lock guards the whole: the handle table, the device list,
// the commands and every handle but its port. The caller's side posts commands and waits for them
// (holding Lock); the worker runs them, then passes over the served handles.
class TWorker {
public:
  TWorker() : FThread([this] { Run(); }) {}

  std::mutex Lock;
  THandleTable Handles;
  TMidiNotifier Notifier;

  // ---- For the caller's side; callers hold Lock ----

  std::shared_ptr<TMidiBackend> CurrentBackend();
  // Puts `backend` in place (empty: the real one, made on first use) and forgets the list read
  // from the one before, which is returned.
  std::shared_ptr<TMidiBackend> SetBackend(std::shared_ptr<TMidiBackend> backend);
  // The list the service's functions number devices by: the one read last.
  const std::vector<std::string>& Devices() const { return FDevices; }
  // Tells the worker there is work: commands wake it at once, messages only from its sleep.
  void Kick(bool command = true) {
    if (FKicked) return;
    FKicked = true;
    if (FSleeping || (command && FPolling)) FWake.notify_one();
  }
  // Queues a command for the worker; returns its number.
  std::uint64_t Post(std::function<void()> command) {
    FCommands.push_back(std::move(command));
    Kick();
    return ++FCommandsPosted;
  }
  // Waits until `done` holds, at most kMidiOutAnswerWaitMs by the tick count or by the clock,
  // whichever passes first. Callers hold Lock through `lock`.
  template <typename TDone>
  bool WaitFor(std::unique_lock<std::mutex>& lock, TDone done) {
    // The tick count is read only once an answer is late, so that a prompt answer leaves the
    // clock of a caller's own deadline untouched.
    const auto start = TClock::now();
    const auto end = start + std::chrono::milliseconds(kMidiOutAnswerWaitMs);
    std::optional<std::uint32_t> startTick;
    while (!done()) {
      const auto now = TClock::now();
      if (now >= end) return false;
      if (now - start >= kLateAnswer) {
        const std::uint32_t tick = GetTickCount();
        if (!startTick) startTick = tick;
        if (tick - *startTick >= kMidiOutAnswerWaitMs) return false;
      }
      FProgress.wait_for(lock, std::chrono::milliseconds(1));
    }
    return true;
  }
  // Runs `command` on the worker and waits for it; false when it was not done in time.
  bool Call(std::unique_lock<std::mutex>& lock, std::function<void()> command) {
    const std::uint64_t seq = Post(std::move(command));
    return WaitFor(lock, [&] { return FCommandsDone >= seq; });
  }
  // Waits until the worker has passed over the served handles once after everything posted so
  // far was done.
  bool WaitForPass(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t seq = Post([] {});
    return WaitFor(lock, [&] { return FCommandsPassed >= seq; });
  }
  // Reads the list on the worker; false when it did not come in time.
  bool ListLocked(std::unique_lock<std::mutex>& lock);
  void EnsureListedLocked(std::unique_lock<std::mutex>& lock) {
    if (!FListed) ListLocked(lock);
  }
  // Reads the list (on the worker) and stores it as the numbering of the service's functions.
  std::vector<std::string> StoreList(TMidiBackend& backend);

  // The worker drains and watches the handle from now until it is closed.
  void Serve(const std::shared_ptr<THandle>& h) { FServed.push_back(h); }
  // Paces the device's output at `bytesPerSecond` (0: unpaced), now and at every later open.
  void SetRate(const std::string& device, std::uint32_t bytesPerSecond);
  // Queues a message of the handle and lets the worker know.
  void Push(THandle& h, const std::uint8_t* bytes, std::size_t count);
  // What the handle is doing now.
  TMidiOutState StateOf(const THandle& h);
  // Runs on the worker a few times a second, without Lock held.
  void AddWatcher(std::function<void()> watch) { FWatchers.push_back(std::move(watch)); }

  // ---- Commands, run on the worker ----

  void OpenCommand(const std::shared_ptr<THandle>& h, std::size_t index);
  void CloseCommand(const std::shared_ptr<THandle>& h);

private:
  // An answer of the worker later than this is watched by the tick count too.
  static constexpr auto kLateAnswer = std::chrono::milliseconds(50);

  void Run();
  TClock::time_point Pass(std::unique_lock<std::mutex>& lock);
  void StopServing(const std::shared_ptr<THandle>& h);
  void Drain(THandle& h, std::unique_lock<std::mutex>& lock, TClock::time_point& wake);
  void Disconnect(THandle& h, std::unique_lock<std::mutex>& lock);
  void Reconnect(const std::shared_ptr<THandle>& h, std::unique_lock<std::mutex>& lock);
  std::uint32_t RateOf(const std::string& device, TMidiBackend& backend,
                       std::unique_lock<std::mutex>& lock);
  void SetHeld(THandle& h, bool held);
  // Gives the handle a new port: the port times the clock if it can.
  void Attach(THandle& h, std::unique_ptr<TMidiBackendPort> port);
  // The worker's clock: a Start, Continue or Stop the port took, and the ticks due by now. Started
  // without a tempo, the ticks begin a period after the tempo comes.
  void ClockTransport(THandle& h, std::uint8_t status, TClock::time_point at);
  void BeginTicks(THandle& h, std::uint32_t milliBpm, TClock::time_point at);
  void SendTicks(THandle& h, std::unique_lock<std::mutex>& lock, TClock::time_point& wake);

  std::condition_variable FWake;           // the worker waits here
  std::condition_variable FProgress;       // callers wait here for commands done
  std::shared_ptr<TMidiBackend> FBackend;  // empty: the real backend, made on first use
  std::vector<std::string> FDevices;
  bool FListed = false;
  std::vector<std::shared_ptr<THandle>> FServed;  // handles the worker drains and watches
  std::map<std::string, std::uint32_t> FRates;
  std::deque<std::function<void()>> FCommands;
  std::uint64_t FCommandsPosted = 0;
  std::uint64_t FCommandsDone = 0;
  std::uint64_t FCommandsPassed = 0;  // commands done before the last completed pass
  bool FSleeping = false;
  bool FPolling = false;
  bool FKicked = false;
  TClock::time_point FLastMessage{};
  TClock::time_point FNextMaintain{};
  std::vector<std::function<void()>> FWatchers;

  std::thread FThread;  // last: starts once the members above exist
};

// Made once and never destroyed, so that handles still open at exit and the service's threads
// never meet a destroyed service.
TWorker& Worker();

void Notify(const TRoute& route, UINT message);
inline void Notify(const THandle& h, UINT message) { Notify(*h.Route, message); }

}  // namespace midi_service
