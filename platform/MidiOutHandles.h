#pragma once

// The handles of the MIDI output service: what one handle holds, and the table that numbers them.
// Not for use beyond the service; the service's lock guards both.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "MidiBackend.h"
#include "MidiOutService.h"
#include "MidiSendQueue.h"

namespace midi_service {

using TClock = std::chrono::steady_clock;

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

// The handles the caller holds, from midiOutOpen until midiOutClose (or an open that failed). A
// device is taken while a handle of the table names it: the table is the one record of which
// devices are allocated. A handle packs its entry's index (low 8 bits, plus one so that 0 is never
// valid) and the entry's generation, so a closed handle stays invalid after its entry is reused.
class THandleTable {
public:
  static constexpr std::size_t kMaxHandles = 64;

  // A new handle of `device` in the lowest free entry, under the entry's next generation; nullptr
  // when every entry is taken.
  std::shared_ptr<THandle> Add(const std::string& device);
  // The handle, or nullptr when it is not in the table. Lookup is the same without a reference of
  // its own, for the send path: the pointer is good while the caller holds the service's lock.
  std::shared_ptr<THandle> Find(HMIDIOUT handle) const;
  THandle* Lookup(HMIDIOUT handle) const;
  // Takes the handle out of the table, if it is still there; its device is free again.
  void Forget(const THandle& h);
  // Whether a handle of the table has the device.
  bool Holds(const std::string& device) const;

private:
  static constexpr unsigned kIndexBits = 8;
  static constexpr HMIDIOUT kIndexMask = (HMIDIOUT{1} << kIndexBits) - 1;

  std::array<std::shared_ptr<THandle>, kMaxHandles> FHandles;
  std::array<std::uint32_t, kMaxHandles> FLastGeneration{};
};

}  // namespace midi_service
