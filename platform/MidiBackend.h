#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MidiBytes.h"
#include "MidiClock.h"
#include "MidiOutService.h"

// The seam under the MIDI output service. The service keeps handles, device numbers and the
// notification thread; a backend only lists devices, opens them and moves bytes. The real backend
// is built over RtMidi; tests put a recording backend in its place.

// Posts one notification (MOM_OPEN, MOM_CLOSE, MOM_DONE, MOM_PENDING) to the callback of the
// handle that the port belongs to. Callable from any thread, also after the handle is closed
// (the callback then still gets it, with the old handle).
using TMidiNotify = std::function<void(UINT message)>;

// One open device.
class TMidiBackendPort {
public:
  virtual ~TMidiBackendPort() = default;
  // Sends one complete message of 1 to 3 bytes; called on the service's worker, never twice at
  // once. MIDIERR_NOTREADY: the device cannot take it now, the service tries again later.
  // MIDIERR_NODEVICE: the device has gone; the service waits for it to return.
  virtual MMRESULT Send(const std::uint8_t* bytes, std::size_t count) = 0;
  // False once the device has gone away. Asked by the worker a few times a second.
  virtual bool Alive() { return true; }
  // Ends the connection; the port is destroyed right after. Posts MOM_CLOSE when the device closes.
  virtual void Close() = 0;
  // Asks the port to time the handle's MIDI clock itself: from the tick after each Start or
  // Continue it sends until a Stop, at the tempo `clock` holds when each tick falls due, counting
  // the ticks and keeping Running in `clock`. False: the port cannot, and the worker times them.
  // Called once, before the first Send.
  virtual bool TimeClock(std::shared_ptr<TMidiClockState> /*clock*/) { return false; }
  // For a clock the worker times: sends one tick (0xF8) that is due at `due`. A port that can have
  // the device deliver it at that time (a sequencer queue) is handed it up to TickLead() early, so
  // that the worker's own wake-up need not be exact; the default sends it at once.
  virtual MMRESULT SendTick(std::chrono::steady_clock::time_point /*due*/) {
    return Send(&kMidiClockTick, 1);
  }
  virtual std::chrono::nanoseconds TickLead() const { return {}; }
};

// Hands received bytes on as the device sent them, in pieces of any length (a piece need not hold
// a whole message); called on the backend's receiving thread, which may be real-time: it neither
// blocks, locks nor allocates.
using TMidiReceive = std::function<void(const std::uint8_t* bytes, std::size_t count)>;

// One open input: it calls its receive function for each message until Close returns.
class TMidiBackendInPort {
public:
  virtual ~TMidiBackendInPort() = default;
  // False once the device has gone away. Asked by the worker a few times a second.
  virtual bool Alive() { return true; }
  // Ends the connection; no message is handed on once this returns.
  virtual void Close() = 0;
};

class TMidiBackend {
public:
  virtual ~TMidiBackend() = default;
  // Every member is called on the service's worker thread only.

  // Names of the output devices now, in a stable order.
  virtual std::vector<std::string> ListDevices() = 0;
  // Opens device `index` of the last ListDevices() result, whose name was `name`. On success puts
  // the port in `port` and returns MMSYSERR_NOERROR; the backend posts MOM_OPEN through `notify`
  // once the device is open.
  virtual MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                        std::unique_ptr<TMidiBackendPort>& port) = 0;
  // The place in `names` (the last ListDevices() result) of the device that was listed as `name`
  // before, names.size() when it is not there. The name may have changed in a part that does not
  // make it another device (an ALSA port's client number).
  virtual std::size_t FindDevice(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  }
  // Bytes a second that the device named `name` takes; kMidiRateUnlimited for no pacing.
  virtual std::uint32_t DefaultRate(const std::string& /*name*/) { return kMidiRateUnlimited; }
  // Called by the worker a few times a second: a chance to release what was left behind.
  virtual void Maintain() {}

  // Names of the input devices now (sources of other programs and hardware), in a stable order.
  virtual std::vector<std::string> ListInputs() { return {}; }
  // Opens the input device named `name`, calling `receive` for each message it sends.
  virtual MMRESULT OpenInput(const std::string& /*name*/, TMidiReceive /*receive*/,
                             std::unique_ptr<TMidiBackendInPort>& /*port*/) {
    return MMSYSERR_BADDEVICEID;
  }
};

// Puts `backend` in place of the current one and returns the one it replaced. The program hands
// the system's backend (MakeSystemMidiBackend) over at start; an empty pointer makes the service
// use a system backend of its own, made on first use. The device list is read afresh on next use.
// Handles opened before stay on the backend that opened them until they are closed.
std::shared_ptr<TMidiBackend> MidiOutSetBackend(std::shared_ptr<TMidiBackend> backend);

// Waits until the worker has handed to the devices everything that can go out now (at most
// kMidiOutAnswerWaitMs while a device call hangs), then until every notification posted so far has
// been delivered to its callback.
void MidiOutFlushNotifications();
