#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
  // Sends one complete message of 1 to 3 bytes; called on the caller's thread, never twice at once.
  virtual MMRESULT Send(const std::uint8_t* bytes, std::size_t count) = 0;
  // Ends the connection; the port is destroyed right after. Posts MOM_CLOSE when the device closes.
  virtual void Close() = 0;
};

class TMidiBackend {
public:
  virtual ~TMidiBackend() = default;
  // Names of the output devices now, in a stable order. Called under the service's lock.
  virtual std::vector<std::string> ListDevices() = 0;
  // Opens device `index` of the last ListDevices() result, whose name was `name`. On success puts
  // the port in `port` and returns MMSYSERR_NOERROR; the backend posts MOM_OPEN through `notify`
  // once the device is open. Called under the service's lock.
  virtual MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                        std::unique_ptr<TMidiBackendPort>& port) = 0;
};

// Puts `backend` in place of the current one and returns the one it replaced; an empty pointer
// restores the real backend. The device list is read afresh on next use. Handles opened before
// stay on the backend that opened them until they are closed.
std::shared_ptr<TMidiBackend> MidiOutSetBackend(std::shared_ptr<TMidiBackend> backend);

// Waits until every notification posted so far has been delivered to its callback.
void MidiOutFlushNotifications();
