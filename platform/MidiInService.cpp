#include "MidiInService.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "MidiInParser.h"
#include "MidiOutWorker.h"

bool TMidiInRing::Push(const std::uint8_t* bytes, std::size_t count, std::uint32_t generation) {
  const std::size_t head = FHead.load(std::memory_order_relaxed);
  if (head - FTail.load(std::memory_order_acquire) >= kCapacity) {
    FDropped.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  TMidiInMessage& m = FMessages[head & (kCapacity - 1)];
  m.Count = static_cast<std::uint8_t>(std::min<std::size_t>(count, m.Bytes.size()));
  std::copy_n(bytes, m.Count, m.Bytes.begin());
  m.Generation = generation;
  FHead.store(head + 1, std::memory_order_release);
  return true;
}

namespace {

using midi_service::Worker;

// The followed input. Device, Link, Port and Backend are guarded by the output service's lock;
// Port is opened and closed on the worker only. Ring, the counters, the wake flag and the eventfd
// are the lock-free hand-over from the receiving thread; none of them is ever destroyed, so that a
// port whose close came late can still reach them.
struct TInput {
  std::string Device;
  TMidiInLink Link = TMidiInLink::ilClosed;
  std::shared_ptr<TMidiBackend> Backend;
  std::unique_ptr<TMidiBackendInPort> Port;
  // Which following is current; the receiving thread stamps its messages with the following of
  // its port, and the reader takes only the current one's.
  std::atomic<std::uint32_t> Generation{0};
  std::uint64_t DroppedAtOpen = 0;
  std::atomic<std::uint64_t> CutOff{0};
  TMidiInRing Ring;
  std::atomic<bool> WakePending{false};
  const int WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
};

TInput& Input() {
  static TInput* input = new TInput;  // never destroyed: the worker may outlive main
  return *input;
}

// The receiving thread's side: the port's own parser makes whole messages of what arrives, the
// ring takes them, and the reader is woken once for all that arrive before it reads.
TMidiReceive MakeReceive(std::uint32_t generation) {
  return [generation, parser = std::make_shared<TMidiInParser>()](const std::uint8_t* bytes,
                                                                  std::size_t count) {
    TInput& in = Input();
    std::size_t pushed = 0;
    const std::size_t cut =
        parser->Feed(bytes, count, [&](const std::uint8_t* message, std::size_t length) {
          in.Ring.Push(message, length, generation);
          ++pushed;
        });
    if (cut > 0 && in.Generation.load(std::memory_order_relaxed) == generation) {
      in.CutOff.fetch_add(cut, std::memory_order_relaxed);
    }
    if (pushed > 0 && !in.WakePending.exchange(true)) {
      const std::uint64_t one = 1;
      // The eventfd's counter cannot overflow by these writes; a failed write leaves the reader to
      // its next wake.
      [[maybe_unused]] const ssize_t written = write(in.WakeFd, &one, sizeof one);
    }
  };
}

// Runs `command` on the worker and waits for it (at most the service's answer wait).
bool OnWorker(std::function<void()> command) {
  std::unique_lock lock(Worker().Lock);
  return Worker().Call(lock, std::move(command));
}

// On the worker: closes the port, if any.
void ClosePort() {
  std::unique_ptr<TMidiBackendInPort> port;
  {
    std::lock_guard lock(Worker().Lock);
    port = std::move(Input().Port);
  }
  if (port) port->Close();
}

// On the worker: opens the followed device when it is listed.
void TryOpen(std::uint32_t generation) {
  TInput& in = Input();
  std::shared_ptr<TMidiBackend> backend;
  std::string device;
  {
    std::lock_guard lock(Worker().Lock);
    if (in.Generation != generation || in.Link != TMidiInLink::ilAway) return;
    backend = in.Backend;
    device = in.Device;
  }
  const std::vector<std::string> names = backend->ListInputs();
  if (std::find(names.begin(), names.end(), device) == names.end()) return;
  std::unique_ptr<TMidiBackendInPort> port;
  if (backend->OpenInput(device, MakeReceive(generation), port) != 0 || !port) return;
  std::lock_guard lock(Worker().Lock);
  in.Port = std::move(port);
  in.Link = TMidiInLink::ilOpen;
}

// On the worker, a few times a second: notices a device that went and reopens one that returned.
void Watch() {
  TInput& in = Input();
  TMidiBackendInPort* port = nullptr;
  std::uint32_t generation = 0;
  {
    std::lock_guard lock(Worker().Lock);
    if (in.Link == TMidiInLink::ilClosed) return;
    port = in.Port.get();
    generation = in.Generation;
  }
  if (port != nullptr && !port->Alive()) {
    ClosePort();
    std::lock_guard lock(Worker().Lock);
    in.Link = TMidiInLink::ilAway;
  }
  if (port == nullptr) TryOpen(generation);
}

void EnsureWatched() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::lock_guard lock(Worker().Lock);
    Worker().AddWatcher(&Watch);
  });
}

}  // namespace

std::vector<std::string> MidiInListDevices() {
  std::shared_ptr<TMidiBackend> backend;
  {
    std::lock_guard lock(Worker().Lock);
    backend = Worker().CurrentBackend();
  }
  auto names = std::make_shared<std::vector<std::string>>();
  if (!OnWorker([backend, names] { *names = backend->ListInputs(); })) return {};
  return *names;
}

bool MidiInOpen(const std::string& device) {
  EnsureWatched();
  MidiInClose();
  const std::vector<std::string> names = MidiInListDevices();
  if (std::find(names.begin(), names.end(), device) == names.end()) return false;
  TInput& in = Input();
  std::uint32_t generation = 0;
  {
    std::lock_guard lock(Worker().Lock);
    in.Backend = Worker().CurrentBackend();
    in.Device = device;
    in.Link = TMidiInLink::ilAway;
    in.DroppedAtOpen = in.Ring.Dropped();
    in.CutOff.store(0);
    in.WakePending.store(false);
    generation = in.Generation.fetch_add(1) + 1;
  }
  OnWorker([generation] { TryOpen(generation); });
  return true;
}

void MidiInClose() {
  TInput& in = Input();
  {
    std::lock_guard lock(Worker().Lock);
    if (in.Link == TMidiInLink::ilClosed) return;
    in.Link = TMidiInLink::ilClosed;
    in.Generation.fetch_add(1);
  }
  // What the closed input left in the ring, or sends until its port has closed, carries an old
  // generation and is never taken.
  OnWorker(&ClosePort);
  std::lock_guard lock(Worker().Lock);
  in.Backend.reset();
}

TMidiInState MidiInGetState() {
  TInput& in = Input();
  std::lock_guard lock(Worker().Lock);
  return {in.Link, in.Device, in.Ring.Dropped() - in.DroppedAtOpen, in.CutOff.load()};
}

int MidiInWakeDescriptor() { return Input().WakeFd; }

void MidiInAcknowledgeWake() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(Input().WakeFd, &count, sizeof count);
}

std::size_t MidiInTake(const std::function<void(const TMidiInMessage&)>& take) {
  TInput& in = Input();
  // Cleared before reading: a message that arrives after the read wakes the reader again.
  in.WakePending.store(false);
  const std::uint32_t generation = in.Generation.load();
  std::size_t taken = 0;
  in.Ring.Take([&](const TMidiInMessage& m) {
    if (m.Generation != generation) return;
    take(m);
    ++taken;
  });
  return taken;
}
