#pragma once

// The inside of the MIDI output service (platform/MidiOutService.cpp holds its functions): the
// handle table and the worker thread that makes every call into the backend, drains the send
// queues, watches open devices and reopens those that return. Not for use beyond the service.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MidiBackend.h"
#include "MidiNotifier.h"
#include "MidiOutService.h"
#include "MidiSendQueue.h"
#include "TickCount.h"

namespace midi_service {

using TClock = std::chrono::steady_clock;

// A handle packs a table index (low 8 bits, plus one so that 0 is never valid) and the generation
// of that table entry, so a closed handle stays invalid after its entry is reused.
constexpr std::size_t kMaxHandles = 64;
constexpr unsigned kIndexBits = 8;
constexpr HMIDIOUT kIndexMask = (HMIDIOUT{1} << kIndexBits) - 1;

enum class TPhase { Opening, Open, Waiting, Closed };

// Where a handle's notifications go. The backend's ports hold it rather than the handle itself, so
// that a port, which the handle owns, never keeps its handle alive. UserClosed is read by the
// backend's notifications from any thread.
struct TRoute {
  HMIDIOUT Id = 0;
  TMidiOutProc Proc = nullptr;  // nullptr: no callback
  DWORD_PTR Instance = 0;
  std::atomic<bool> UserClosed{false};
};

// One handle. Port is the worker's alone; everything else is guarded by the service's lock.
struct THandle {
  HMIDIOUT Id = 0;
  std::string Device;
  std::shared_ptr<TMidiBackend> Backend;  // the backend that opened the port outlives it
  std::shared_ptr<TRoute> Route = std::make_shared<TRoute>();
  TPhase Phase = TPhase::Opening;
  bool Answered = false;
  MMRESULT Answer = MMSYSERR_NOERROR;
  TMidiSendQueue Queue{kMidiOutQueueOtherLimit};
  TClock::time_point NextLook{};
  std::unique_ptr<TMidiBackendPort> Port;
  // The clock: shared with the port when the port times it, else timed by the worker with the
  // members below.
  std::shared_ptr<TMidiClockState> Clock = std::make_shared<TMidiClockState>();
  bool PortTimesClock = false;
  bool ClockStarted = false;  // a Start or Continue went out, and no Stop since
  TMidiClockSteps TickSteps;
  std::uint32_t TickMilliBpm = 0;
  TClock::time_point NextTick{};
};

class TService {
public:
  TService() : Worker([this] { Run(); }) {}

  std::mutex Lock;
  std::condition_variable Wake;           // the worker waits here
  std::condition_variable Progress;       // callers wait here for commands done
  std::shared_ptr<TMidiBackend> Backend;  // empty: the real backend, made on first use
  std::vector<std::string> Devices;
  bool Listed = false;
  std::set<std::string> OpenDevices;
  std::array<std::shared_ptr<THandle>, kMaxHandles> Handles;
  std::array<std::uint32_t, kMaxHandles> LastGeneration{};
  std::vector<std::shared_ptr<THandle>> Served;  // handles the worker drains and watches
  std::map<std::string, std::uint32_t> Rates;
  std::deque<std::function<void()>> Commands;
  std::uint64_t CommandsPosted = 0;
  std::uint64_t CommandsDone = 0;
  std::uint64_t CommandsPassed = 0;  // commands done before the last completed pass
  bool Sleeping = false;
  bool Polling = false;
  bool Kicked = false;
  TClock::time_point LastMessage{};
  TClock::time_point NextMaintain{};
  TMidiNotifier Notifier;
  // Run on the worker a few times a second, without Lock held (the input's watch).
  std::vector<std::function<void()>> Watchers;

  // ---- For the caller's side; callers hold Lock ----

  std::shared_ptr<TMidiBackend> CurrentBackend();
  // Tells the worker there is work: commands wake it at once, messages only from its sleep.
  void Kick(bool command = true) {
    if (Kicked) return;
    Kicked = true;
    if (Sleeping || (command && Polling)) Wake.notify_one();
  }
  std::uint64_t Post(std::function<void()> command) {
    Commands.push_back(std::move(command));
    Kick();
    return ++CommandsPosted;
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
      Progress.wait_for(lock, std::chrono::milliseconds(1));
    }
    return true;
  }
  // Reads the list on the worker; false when it did not come in time.
  bool ListLocked(std::unique_lock<std::mutex>& lock);
  void EnsureListedLocked(std::unique_lock<std::mutex>& lock) {
    if (!Listed) ListLocked(lock);
  }
  // Reads the list (on the worker) and stores it as the numbering of the service's functions.
  std::vector<std::string> StoreList(TMidiBackend& backend);

  // The handle, or nullptr when it is not open. Lookup is the same without a reference of its
  // own, for the send path: the pointer is good while the caller holds Lock.
  std::shared_ptr<THandle> Find(HMIDIOUT handle) {
    THandle* h = Lookup(handle);
    return h != nullptr ? Handles[(handle & kIndexMask) - 1] : nullptr;
  }
  THandle* Lookup(HMIDIOUT handle) {
    const std::size_t slot = static_cast<std::size_t>(handle & kIndexMask);
    const auto generation = static_cast<std::uint32_t>(handle >> kIndexBits);
    if (slot == 0 || slot > kMaxHandles || generation == 0) return nullptr;
    THandle* h = Handles[slot - 1].get();
    return h != nullptr && h->Id == handle ? h : nullptr;
  }
  void Forget(const THandle& h);
  void StopServing(const std::shared_ptr<THandle>& h);
  // Queues a message of the handle and lets the worker know.
  void Push(THandle& h, const std::uint8_t* bytes, std::size_t count);
  // What the handle is doing now.
  TMidiOutState StateOf(const THandle& h);

  // ---- Commands, run on the worker ----

  void OpenCommand(const std::shared_ptr<THandle>& h, std::size_t index);
  void CloseCommand(const std::shared_ptr<THandle>& h);

private:
  // An answer of the worker later than this is watched by the tick count too.
  static constexpr auto kLateAnswer = std::chrono::milliseconds(50);

  void Run();
  TClock::time_point Pass(std::unique_lock<std::mutex>& lock);
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

  std::thread Worker;  // last: starts once the members above exist
};

// Made once and never destroyed, so that handles still open at exit and the service's threads
// never meet a destroyed service.
TService& Service();

void Notify(const TRoute& route, UINT message);
inline void Notify(const THandle& h, UINT message) { Notify(*h.Route, message); }

}  // namespace midi_service
