#include "MidiOutService.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "MidiBackend.h"
#include "RtMidiBackend.h"

namespace {

// A handle packs a table index (low 8 bits, plus one so that 0 is never valid) and the generation
// of that table entry, so a closed handle stays invalid after its entry is reused.
constexpr std::size_t kMaxHandles = 64;
constexpr unsigned kIndexBits = 8;
constexpr HMIDIOUT kIndexMask = (HMIDIOUT{1} << kIndexBits) - 1;

struct TNotification {
  TMidiOutProc Proc;
  HMIDIOUT Handle;
  UINT Message;
  DWORD_PTR Instance;
};

// The service's notification thread: delivers posted notifications in order, one at a time.
class TNotifier {
public:
  TNotifier() : FThread([this] { Run(); }) {}

  void Post(const TNotification& n) {
    {
      std::lock_guard lock(FLock);
      FQueue.push_back(n);
      ++FPosted;
    }
    FWake.notify_all();
  }

  void Flush() {
    std::unique_lock lock(FLock);
    const std::uint64_t target = FPosted;
    FWake.wait(lock, [&] { return FDelivered >= target; });
  }

private:
  void Run() {
    std::unique_lock lock(FLock);
    for (;;) {
      FWake.wait(lock, [&] { return !FQueue.empty(); });
      const TNotification n = FQueue.front();
      FQueue.pop_front();
      lock.unlock();
      n.Proc(n.Handle, n.Message, n.Instance, 0, 0);
      lock.lock();
      ++FDelivered;
      FWake.notify_all();
    }
  }

  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TNotification> FQueue;
  std::uint64_t FPosted = 0;
  std::uint64_t FDelivered = 0;
  std::thread FThread;  // last: starts once the members above exist
};

// What a send needs of a handle, apart from the rest so that sends touch nothing else: the
// generation of the open handle (0 when free) and its port. Constant-initialised, never destroyed.
struct TSendEntry {
  std::atomic<std::uint32_t> Generation{0};
  std::atomic<TMidiBackendPort*> Port{nullptr};
};
constinit std::array<TSendEntry, kMaxHandles> SendTable{};

// The port of an open handle, or nullptr. Lock-free: every send takes this path.
TMidiBackendPort* FindPort(HMIDIOUT handle) {
  const std::size_t slot = static_cast<std::size_t>(handle & kIndexMask);
  const auto generation = static_cast<std::uint32_t>(handle >> kIndexBits);
  if (slot == 0 || slot > kMaxHandles || generation == 0) return nullptr;
  const TSendEntry& e = SendTable[slot - 1];
  if (e.Generation.load(std::memory_order_acquire) != generation) return nullptr;
  return e.Port.load(std::memory_order_relaxed);
}

// The owning side of a handle, changed only under the service's lock.
struct THandleEntry {
  std::uint32_t LastGeneration = 0;
  std::unique_ptr<TMidiBackendPort> Port;
  std::shared_ptr<TMidiBackend> Backend;  // the backend that opened the port outlives it
  std::string Device;
};

class TService {
public:
  std::mutex Lock;
  std::shared_ptr<TMidiBackend> Backend;  // empty: the real backend, made on first use
  std::vector<std::string> Devices;
  bool Listed = false;
  std::set<std::string> OpenDevices;
  std::array<THandleEntry, kMaxHandles> Handles;
  TNotifier Notifier;

  // Callers hold Lock.
  TMidiBackend& CurrentBackend() {
    if (!Backend) Backend = MakeRtMidiBackend();
    return *Backend;
  }
  void ListLocked() {
    Devices = CurrentBackend().ListDevices();
    Listed = true;
  }
  void EnsureListedLocked() {
    if (!Listed) ListLocked();
  }

  // The owning entry of an open handle, or nullptr. Callers hold Lock.
  THandleEntry* Find(HMIDIOUT handle) {
    if (FindPort(handle) == nullptr) return nullptr;
    return &Handles[static_cast<std::size_t>(handle & kIndexMask) - 1];
  }
};

// Made once and never destroyed, so that handles still open at exit and the notification thread
// never meet a destroyed service.
TService& Service() {
  static TService* service = new TService;
  return *service;
}

}  // namespace

namespace {

constexpr std::size_t LengthOf(unsigned status) {
  if (status < 0x80) return 0;
  if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;  // 0xC0-0xDF carry one data byte
  switch (status) {
    case 0xF0:
    case 0xF7:
      return 0;  // system exclusive travels as a long message
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    default:
      return 1;  // tune request, real-time and the undefined system bytes
  }
}

constexpr std::array<std::uint8_t, 256> kLengths = [] {
  std::array<std::uint8_t, 256> lengths{};
  for (unsigned status = 0; status < 256; ++status) {
    lengths[status] = static_cast<std::uint8_t>(LengthOf(status));
  }
  return lengths;
}();

// The bits of a packed word that must be clear in a message of 1, 2 or 3 bytes: the top bit of
// each data byte it has.
constexpr DWORD kDataTopBits[4] = {0, 0, 0x00008000u, 0x00808000u};

}  // namespace

std::size_t MidiShortMessageLength(std::uint8_t status) { return kLengths[status]; }

UINT midiOutGetNumDevs() {
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  s.ListLocked();
  return static_cast<UINT>(s.Devices.size());
}

MMRESULT midiOutGetDevCapsA(UINT device, MIDIOUTCAPSA* caps, UINT size) {
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  TService& s = Service();
  std::string name;
  {
    std::lock_guard lock(s.Lock);
    s.EnsureListedLocked();
    if (device >= s.Devices.size()) return MMSYSERR_BADDEVICEID;
    name = s.Devices[device];
  }
  MIDIOUTCAPSA full{};
  full.wTechnology = MOD_MIDIPORT;
  full.wChannelMask = 0xFFFF;
  // At most 31 bytes, cut before a UTF-8 continuation byte so the name stays well formed.
  std::size_t length = std::min(name.size(), MAXPNAMELEN - 1);
  if (length < name.size()) {
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(full.szPname, name.data(), length);
  full.szPname[length] = '\0';
  std::memcpy(caps, &full, std::min<std::size_t>(size, sizeof full));
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(HMIDIOUT* handle, UINT device, TMidiOutProc callback, DWORD_PTR instance,
                     DWORD flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_NULL && flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  if (flags == CALLBACK_FUNCTION && callback == nullptr) return MMSYSERR_INVALPARAM;
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  s.EnsureListedLocked();
  if (device >= s.Devices.size()) return MMSYSERR_BADDEVICEID;
  const std::string& name = s.Devices[device];
  if (s.OpenDevices.count(name) != 0) return MMSYSERR_ALLOCATED;

  auto entry = std::find_if(s.Handles.begin(), s.Handles.end(),
                            [](const THandleEntry& e) { return !e.Port; });
  if (entry == s.Handles.end()) return MMSYSERR_NOMEM;
  const std::size_t slot = static_cast<std::size_t>(entry - s.Handles.begin());
  std::uint32_t generation = entry->LastGeneration + 1;
  if ((generation & 0x00FFFFFFu) == 0) generation = 1;  // stays in range on 32-bit handles too
  const HMIDIOUT newHandle = (static_cast<HMIDIOUT>(generation) << kIndexBits) | (slot + 1);

  TMidiNotify notify;
  if (flags == CALLBACK_FUNCTION) {
    notify = [callback, newHandle, instance](UINT message) {
      Service().Notifier.Post({callback, newHandle, message, instance});
    };
  } else {
    notify = [](UINT) {};
  }
  std::unique_ptr<TMidiBackendPort> port;
  const MMRESULT r = s.CurrentBackend().Open(device, name, std::move(notify), port);
  if (r != MMSYSERR_NOERROR) return r;
  if (!port) return MMSYSERR_ERROR;

  SendTable[slot].Port.store(port.get(), std::memory_order_relaxed);
  SendTable[slot].Generation.store(generation, std::memory_order_release);
  entry->Port = std::move(port);
  entry->Backend = s.Backend;
  entry->Device = name;
  entry->LastGeneration = generation;
  s.OpenDevices.insert(name);
  *handle = newHandle;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD message) {
  TMidiBackendPort* port = FindPort(handle);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  const std::size_t count = kLengths[message & 0xFF];
  if (count == 0 || (message & kDataTopBits[count]) != 0) return MMSYSERR_INVALPARAM;
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(message & 0xFF),
                                 static_cast<std::uint8_t>((message >> 8) & 0xFF),
                                 static_cast<std::uint8_t>((message >> 16) & 0xFF)};
  return port->Send(bytes, count);
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) {
  if (FindPort(handle) == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT handle) {
  TService& s = Service();
  std::unique_ptr<TMidiBackendPort> port;
  std::shared_ptr<TMidiBackend> backend;
  {
    std::lock_guard lock(s.Lock);
    THandleEntry* e = s.Find(handle);
    if (e == nullptr) return MMSYSERR_INVALHANDLE;
    const std::size_t slot = static_cast<std::size_t>(handle & kIndexMask) - 1;
    SendTable[slot].Generation.store(0, std::memory_order_release);
    SendTable[slot].Port.store(nullptr, std::memory_order_relaxed);
    port = std::move(e->Port);
    backend = std::move(e->Backend);
    s.OpenDevices.erase(e->Device);
    e->Device.clear();
  }
  // Outside the lock: closing a device can take a while, and other handles need not wait.
  port->Close();
  port.reset();
  return MMSYSERR_NOERROR;
}

std::shared_ptr<TMidiBackend> MidiOutSetBackend(std::shared_ptr<TMidiBackend> backend) {
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  std::shared_ptr<TMidiBackend> previous = std::move(s.Backend);
  s.Backend = std::move(backend);
  s.Devices.clear();
  s.Listed = false;
  return previous;
}

void MidiOutFlushNotifications() { Service().Notifier.Flush(); }
