#include "MidiInService.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "MidiOutWorker.h"

bool TMidiInRing::Push(const std::uint8_t* bytes, std::size_t count) {
  const std::size_t head = FHead.load(std::memory_order_relaxed);
  if (head - FTail.load(std::memory_order_acquire) >= kCapacity) {
    FDropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  TMidiInMessage& m = FMessages[head & (kCapacity - 1)];
  m.Count = static_cast<std::uint8_t>(std::min<std::size_t>(count, m.Bytes.size()));
  std::copy_n(bytes, m.Count, m.Bytes.begin());
  FHead.store(head + 1, std::memory_order_release);
  return true;
}

namespace {

using midi_service::Service;

// The followed input. Device, Link, Port and Backend are guarded by the output service's lock;
// Port is opened and closed on the worker only. Ring and the wake flag are the lock-free hand-over
// from the receiving thread.
struct TInput {
  std::string Device;
  TMidiInLink Link = TMidiInLink::ilClosed;
  std::shared_ptr<TMidiBackend> Backend;
  std::unique_ptr<TMidiBackendInPort> Port;
  std::function<void()> Wake;  // read by the receiving thread only while a port is open
  std::uint64_t Generation = 0;
  std::uint64_t DroppedAtOpen = 0;
  TMidiInRing Ring;
  std::atomic<bool> WakePending{false};
};

TInput& Input() {
  static TInput* input = new TInput;  // never destroyed: the worker may outlive main
  return *input;
}

TMidiReceive MakeReceive() {
  return [](const std::uint8_t* bytes, std::size_t count) {
    TInput& in = Input();
    in.Ring.Push(bytes, count);
    if (!in.WakePending.exchange(true, std::memory_order_acq_rel)) in.Wake();
  };
}

// Runs `command` on the worker and waits for it (at most the service's answer wait).
bool OnWorker(std::function<void()> command) {
  midi_service::TService& service = Service();
  std::unique_lock lock(service.Lock);
  const std::uint64_t seq = service.Post(std::move(command));
  return service.WaitFor(lock, [&] { return service.CommandsDone >= seq; });
}

// On the worker: closes the port, if any.
void ClosePort() {
  std::unique_ptr<TMidiBackendInPort> port;
  {
    std::lock_guard lock(Service().Lock);
    port = std::move(Input().Port);
  }
  if (port) port->Close();
}

// On the worker: opens the followed device when it is listed.
void TryOpen(std::uint64_t generation) {
  TInput& in = Input();
  std::shared_ptr<TMidiBackend> backend;
  std::string device;
  {
    std::lock_guard lock(Service().Lock);
    if (in.Generation != generation || in.Link != TMidiInLink::ilAway) return;
    backend = in.Backend;
    device = in.Device;
  }
  const std::vector<std::string> names = backend->ListInputs();
  if (std::find(names.begin(), names.end(), device) == names.end()) return;
  std::unique_ptr<TMidiBackendInPort> port;
  if (backend->OpenInput(device, MakeReceive(), port) != 0 || !port) return;
  std::lock_guard lock(Service().Lock);
  in.Port = std::move(port);
  in.Link = TMidiInLink::ilOpen;
}

// On the worker, a few times a second: notices a device that went and reopens one that returned.
void Watch() {
  TInput& in = Input();
  TMidiBackendInPort* port = nullptr;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(Service().Lock);
    if (in.Link == TMidiInLink::ilClosed) return;
    port = in.Port.get();
    generation = in.Generation;
  }
  if (port != nullptr && !port->Alive()) {
    ClosePort();
    std::lock_guard lock(Service().Lock);
    in.Link = TMidiInLink::ilAway;
  }
  if (port == nullptr) TryOpen(generation);
}

void EnsureWatched() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::lock_guard lock(Service().Lock);
    Service().Watchers.push_back(&Watch);
  });
}

}  // namespace

std::vector<std::string> MidiInListDevices() {
  std::shared_ptr<TMidiBackend> backend;
  {
    std::lock_guard lock(Service().Lock);
    backend = Service().CurrentBackend();
  }
  auto names = std::make_shared<std::vector<std::string>>();
  if (!OnWorker([backend, names] { *names = backend->ListInputs(); })) return {};
  return *names;
}

bool MidiInOpen(const std::string& device, std::function<void()> wake) {
  EnsureWatched();
  MidiInClose();
  const std::vector<std::string> names = MidiInListDevices();
  if (std::find(names.begin(), names.end(), device) == names.end()) return false;
  TInput& in = Input();
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(Service().Lock);
    in.Backend = Service().CurrentBackend();
    in.Device = device;
    in.Wake = std::move(wake);
    in.Link = TMidiInLink::ilAway;
    in.DroppedAtOpen = in.Ring.Dropped();
    generation = ++in.Generation;
  }
  OnWorker([generation] { TryOpen(generation); });
  return true;
}

void MidiInClose() {
  TInput& in = Input();
  {
    std::lock_guard lock(Service().Lock);
    if (in.Link == TMidiInLink::ilClosed) return;
    in.Link = TMidiInLink::ilClosed;
    ++in.Generation;
  }
  OnWorker(&ClosePort);
  // Nothing more arrives: what is left in the ring belongs to the input just closed.
  in.Ring.Take([](const TMidiInMessage&) {});
  std::lock_guard lock(Service().Lock);
  in.Wake = nullptr;
  in.Backend.reset();
  in.WakePending.store(false);
}

TMidiInState MidiInGetState() {
  TInput& in = Input();
  std::lock_guard lock(Service().Lock);
  return {in.Link, in.Device, in.Ring.Dropped() - in.DroppedAtOpen};
}

std::size_t MidiInTake(const std::function<void(const TMidiInMessage&)>& take) {
  TInput& in = Input();
  // Cleared before reading: a message that arrives after the read wakes the reader again.
  in.WakePending.store(false, std::memory_order_release);
  return in.Ring.Take(take);
}
