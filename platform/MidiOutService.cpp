#include "MidiOutService.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "MidiBackend.h"
#include "RtMidiBackend.h"
#include "TickCount.h"

namespace {

using TClock = std::chrono::steady_clock;

// A handle packs a table index (low 8 bits, plus one so that 0 is never valid) and the generation
// of that table entry, so a closed handle stays invalid after its entry is reused.
constexpr std::size_t kMaxHandles = 64;
constexpr unsigned kIndexBits = 8;
constexpr HMIDIOUT kIndexMask = (HMIDIOUT{1} << kIndexBits) - 1;

// How often the worker asks an open device whether it is still there, tries to reopen a device
// that went away, and lets the backends release what they left behind.
constexpr auto kLookInterval = std::chrono::milliseconds(250);
// How long a message that the device refused waits before it is offered again.
constexpr auto kRefusedRetry = std::chrono::milliseconds(2);
// A paced message may go out this much before its time: the worker's wake-up is not exact.
constexpr auto kPaceSlack = std::chrono::microseconds(500);
// What a close still waits for queued output that can go out, before the rest is given up.
constexpr auto kCloseDrainLimit = std::chrono::seconds(1);
constexpr std::size_t kControllerKeys = 16 * 128;
// While messages come, the worker looks for more this often, for this long after the last.
constexpr auto kPollInterval = std::chrono::milliseconds(1);
constexpr auto kPollWindow = std::chrono::milliseconds(100);
// The most messages an unpaced device is handed in one go.
constexpr std::size_t kBatch = 64;
// An answer of the worker later than this is watched by the tick count too.
constexpr auto kLateAnswer = std::chrono::milliseconds(50);

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

// One message in a handle's queue. Sequence numbers run without gaps along the queue, so a
// message is found from its number; a message dropped over the limit keeps its place with Count 0.
struct TQueued {
  std::uint64_t Seq;
  std::uint8_t Bytes[3];
  std::uint8_t Count;
};

bool IsControlChange(const std::uint8_t* bytes, std::size_t count) {
  return count == 3 && (bytes[0] & 0xF0) == 0xB0;
}
std::size_t ControllerKey(const std::uint8_t* bytes) {
  return static_cast<std::size_t>(bytes[0] & 0x0F) * 128 + bytes[1];
}

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
  TMidiOutProc Proc = nullptr;            // nullptr: no callback
  DWORD_PTR Instance = 0;
  std::shared_ptr<TRoute> Route = std::make_shared<TRoute>();
  TPhase Phase = TPhase::Opening;
  bool Answered = false;
  MMRESULT Answer = MMSYSERR_NOERROR;

  std::deque<TQueued> Queue;
  std::uint64_t NextSeq = 1;
  std::size_t Others = 0;  // messages in Queue that are not control changes and not dropped
  std::vector<std::uint64_t> ControllerSeq = std::vector<std::uint64_t>(kControllerKeys, 0);
  // Messages numbered below this are being handed over by the worker: never changed or dropped.
  std::uint64_t InFlightEnd = 0;
  bool Held = false;  // the queue cannot drain at once: control changes merge
  bool ReportedPending = false;
  std::uint64_t Dropped = 0;
  std::uint32_t Rate = kMidiRateUnlimited;
  TClock::time_point NextFree{};
  TClock::time_point RetryAt{};
  TClock::time_point NextLook{};

  std::unique_ptr<TMidiBackendPort> Port;
};

void Notify(const TRoute& route, UINT message);
void Notify(const THandle& h, UINT message) { Notify(*h.Route, message); }

// The notification route of one backend port. The first port of a handle reports its open; a port
// opened again after the device returned does not, and a close reaches the callback only when the
// caller closed the handle: to the caller, the handle stayed open all along.
TMidiNotify MakeNotify(const std::shared_ptr<THandle>& h, bool first) {
  return [route = h->Route, first](UINT message) {
    if (message == MOM_OPEN && (!first || route->UserClosed.load())) return;
    if (message == MOM_CLOSE && !route->UserClosed.load()) return;
    Notify(*route, message);
  };
}

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
  TNotifier Notifier;

  // Callers hold Lock.
  std::shared_ptr<TMidiBackend> CurrentBackend() {
    if (!Backend) Backend = MakeRtMidiBackend();
    return Backend;
  }
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
  bool ListLocked(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t seq = Post([this, backend = CurrentBackend()] { StoreList(*backend); });
    return WaitFor(lock, [&] { return CommandsDone >= seq; });
  }
  void EnsureListedLocked(std::unique_lock<std::mutex>& lock) {
    if (!Listed) ListLocked(lock);
  }
  std::vector<std::string> StoreList(TMidiBackend& backend) {
    std::vector<std::string> names = backend.ListDevices();
    std::lock_guard lock(Lock);
    Devices = names;
    Listed = true;
    return names;
  }

  // The handle, or nullptr when it is not open. Callers hold Lock.
  std::shared_ptr<THandle> Find(HMIDIOUT handle) {
    const std::size_t slot = static_cast<std::size_t>(handle & kIndexMask);
    const auto generation = static_cast<std::uint32_t>(handle >> kIndexBits);
    if (slot == 0 || slot > kMaxHandles || generation == 0) return nullptr;
    const std::shared_ptr<THandle>& h = Handles[slot - 1];
    if (!h || h->Id != handle) return nullptr;
    return h;
  }
  void Forget(const THandle& h) {
    const std::size_t slot = static_cast<std::size_t>(h.Id & kIndexMask) - 1;
    if (Handles[slot] && Handles[slot]->Id == h.Id) {
      Handles[slot].reset();
      OpenDevices.erase(h.Device);
    }
  }
  void StopServing(const std::shared_ptr<THandle>& h) {
    Served.erase(std::remove(Served.begin(), Served.end(), h), Served.end());
  }
  std::uint32_t RateOf(const std::string& device, TMidiBackend& backend,
                       std::unique_lock<std::mutex>& lock) {
    const auto set = Rates.find(device);
    if (set != Rates.end()) return set->second;
    lock.unlock();
    const std::uint32_t rate = backend.DefaultRate(device);
    lock.lock();
    return rate;
  }

  // ---- The queue; callers hold Lock ----

  void Push(THandle& h, const std::uint8_t* bytes, std::size_t count) {
    if (IsControlChange(bytes, count)) {
      std::uint64_t& waiting = h.ControllerSeq[ControllerKey(bytes)];
      // On a paced device a message in the queue waits for its turn whatever the worker does now.
      const bool waits = h.Held || h.Rate != kMidiRateUnlimited;
      if (waits && waiting != 0 && waiting >= h.InFlightEnd) {
        h.Queue[waiting - h.Queue.front().Seq].Bytes[2] = bytes[2];
        return;
      }
      waiting = h.NextSeq;
    } else {
      ++h.Others;
    }
    TQueued m{
        h.NextSeq++,
        {bytes[0], count > 1 ? bytes[1] : std::uint8_t{0}, count > 2 ? bytes[2] : std::uint8_t{0}},
        static_cast<std::uint8_t>(count)};
    h.Queue.push_back(m);
    if (h.Others > kMidiOutQueueOtherLimit) DropOldestOther(h);
    if (h.Held) {
      SetHeld(h, true);  // a backlog that forms now is reported now
    } else if (!Kicked) {
      LastMessage = TClock::now();
      Kick(false);
    }
  }

  void DropOldestOther(THandle& h) {
    for (TQueued& m : h.Queue) {
      if (m.Count == 0 || m.Seq < h.InFlightEnd || IsControlChange(m.Bytes, m.Count)) continue;
      m.Count = 0;
      --h.Others;
      ++h.Dropped;
      return;
    }
  }

  void PopFront(THandle& h) {
    const TQueued& m = h.Queue.front();
    if (IsControlChange(m.Bytes, m.Count)) {
      std::uint64_t& waiting = h.ControllerSeq[ControllerKey(m.Bytes)];
      if (waiting == m.Seq) waiting = 0;
    } else if (m.Count != 0) {
      --h.Others;
    }
    h.Queue.pop_front();
  }

  void SkipDropped(THandle& h) {
    while (!h.Queue.empty() && h.Queue.front().Count == 0) h.Queue.pop_front();
  }

  // A backlog is reported once when it forms and once when it is gone.
  void SetHeld(THandle& h, bool held) {
    h.Held = held;
    if (held && !h.Queue.empty() && !h.ReportedPending) {
      h.ReportedPending = true;
      Notify(h, MOM_PENDING);
    } else if (h.Queue.empty() && h.ReportedPending) {
      h.ReportedPending = false;
      Notify(h, MOM_DONE);
    }
  }

  // ---- The worker ----

  void Run() {
    std::unique_lock lock(Lock);
    for (;;) {
      while (!Commands.empty()) {
        std::function<void()> command = std::move(Commands.front());
        Commands.pop_front();
        lock.unlock();
        command();
        command = nullptr;
        lock.lock();
        ++CommandsDone;
        Progress.notify_all();
      }
      Kicked = false;
      const TClock::time_point wake = Pass(lock);
      CommandsPassed = CommandsDone;
      Progress.notify_all();
      if (!Commands.empty() || Kicked) continue;
      // While messages keep coming (a drag sends some every millisecond), the worker looks for
      // them each millisecond instead of being woken for each: a wake-up costs the sender more
      // than the message itself. After kPollWindow without a message it sleeps until woken.
      if (TClock::now() - LastMessage < kPollWindow) {
        Polling = true;
        Wake.wait_until(lock, std::min(wake, TClock::now() + kPollInterval));
        Polling = false;
        continue;
      }
      Sleeping = true;
      Wake.wait_until(lock, wake);
      Sleeping = false;
    }
  }

  // One pass over the served handles: watch, reconnect, drain. Returns when to pass again.
  TClock::time_point Pass(std::unique_lock<std::mutex>& lock) {
    TClock::time_point now = TClock::now();
    TClock::time_point wake = now + kLookInterval;
    const std::vector<std::shared_ptr<THandle>> served = Served;
    for (const std::shared_ptr<THandle>& h : served) {
      if (h->Phase == TPhase::Open && now >= h->NextLook) {
        h->NextLook = now + kLookInterval;
        TMidiBackendPort* port = h->Port.get();
        lock.unlock();
        const bool alive = port->Alive();
        lock.lock();
        if (!alive) Disconnect(*h, lock);
      }
      if (h->Phase == TPhase::Waiting && now >= h->NextLook) Reconnect(h, lock);
      if (h->Phase == TPhase::Open) Drain(*h, lock, wake);
      if (h->Phase == TPhase::Waiting) SetHeld(*h, true);
      wake = std::min(wake, h->NextLook);
    }
    now = TClock::now();
    if (now >= NextMaintain) {
      NextMaintain = now + kLookInterval;
      std::set<std::shared_ptr<TMidiBackend>> backends;
      if (Backend) backends.insert(Backend);
      for (const std::shared_ptr<THandle>& h : Served) backends.insert(h->Backend);
      lock.unlock();
      for (const std::shared_ptr<TMidiBackend>& b : backends) b->Maintain();
      lock.lock();
    }
    return std::min(wake, NextMaintain);
  }

  // Hands the queue to the device as far as its rate and its answers allow.
  void Drain(THandle& h, std::unique_lock<std::mutex>& lock, TClock::time_point& wake) {
    for (;;) {
      SkipDropped(h);
      if (h.Queue.empty()) {
        SetHeld(h, false);
        return;
      }
      const TClock::time_point now = TClock::now();
      if (now < h.RetryAt) {
        wake = std::min(wake, h.RetryAt);
        SetHeld(h, true);
        return;
      }
      if (h.Rate != kMidiRateUnlimited && now + kPaceSlack < h.NextFree) {
        wake = std::min(wake, h.NextFree - kPaceSlack);
        SetHeld(h, true);
        return;
      }
      // An unpaced device takes what waits in one go, so that the caller and the worker meet on
      // the lock once per batch rather than once per message.
      const std::size_t take = h.Rate == kMidiRateUnlimited ? std::min(h.Queue.size(), kBatch) : 1;
      std::array<TQueued, kBatch> batch;
      for (std::size_t i = 0; i < take; ++i) batch[i] = h.Queue[i];
      h.InFlightEnd = batch[take - 1].Seq + 1;
      TMidiBackendPort* port = h.Port.get();
      lock.unlock();
      std::size_t done = 0;
      MMRESULT r = MMSYSERR_NOERROR;
      for (; done < take; ++done) {
        if (batch[done].Count == 0) continue;
        r = port->Send(batch[done].Bytes, batch[done].Count);
        if (r == MIDIERR_NOTREADY || r == MIDIERR_NODEVICE) break;
      }
      lock.lock();
      h.InFlightEnd = 0;
      // Sent, or refused for a reason of the message's own: either way they have left the queue.
      for (std::size_t i = 0; i < done; ++i) PopFront(h);
      if (r == MIDIERR_NOTREADY) {
        h.RetryAt = TClock::now() + kRefusedRetry;
        continue;
      }
      if (r == MIDIERR_NODEVICE) {
        Disconnect(h, lock);
        SetHeld(h, true);
        return;
      }
      if (h.Rate != kMidiRateUnlimited) {
        h.NextFree = std::max(now, h.NextFree) + std::chrono::duration_cast<TClock::duration>(
                                                     std::chrono::seconds(batch[0].Count)) /
                                                     h.Rate;
      }
    }
  }

  void Disconnect(THandle& h, std::unique_lock<std::mutex>& lock) {
    std::unique_ptr<TMidiBackendPort> port = std::move(h.Port);
    h.Phase = TPhase::Waiting;
    h.NextLook = TClock::now() + kLookInterval;
    SetHeld(h, true);
    lock.unlock();
    if (port) port->Close();
    port.reset();
    lock.lock();
  }

  void Reconnect(const std::shared_ptr<THandle>& h, std::unique_lock<std::mutex>& lock) {
    h->NextLook = TClock::now() + kLookInterval;
    std::shared_ptr<TMidiBackend> backend = h->Backend;
    const std::string device = h->Device;
    lock.unlock();
    std::unique_ptr<TMidiBackendPort> port;
    MMRESULT r = MIDIERR_NODEVICE;
    const std::vector<std::string> names = backend->ListDevices();
    const std::size_t found = backend->FindDevice(names, device);
    if (found < names.size()) r = backend->Open(found, names[found], MakeNotify(h, false), port);
    lock.lock();
    if (r != MMSYSERR_NOERROR || !port) return;
    h->Rate = RateOf(device, *backend, lock);
    h->Port = std::move(port);
    h->Phase = TPhase::Open;
    h->RetryAt = {};
    h->NextLook = TClock::now() + kLookInterval;
  }

  void OpenCommand(const std::shared_ptr<THandle>& h, std::size_t index) {
    std::unique_ptr<TMidiBackendPort> port;
    MMRESULT r = h->Backend->Open(index, h->Device, MakeNotify(h, true), port);
    if (r == MMSYSERR_NOERROR && !port) r = MMSYSERR_ERROR;
    std::unique_lock lock(Lock);
    h->Answered = true;
    h->Answer = r;
    if (r != MMSYSERR_NOERROR) {
      h->Phase = TPhase::Closed;
      Forget(*h);
      StopServing(h);
    } else if (h->Route->UserClosed.load()) {
      h->Phase = TPhase::Closed;
      lock.unlock();
      port->Close();
      return;
    } else {
      h->Rate = RateOf(h->Device, *h->Backend, lock);
      h->Port = std::move(port);
      h->Phase = TPhase::Open;
      h->NextLook = TClock::now() + kLookInterval;
    }
    Progress.notify_all();
  }

  void CloseCommand(const std::shared_ptr<THandle>& h) {
    std::unique_lock lock(Lock);
    const TClock::time_point end = TClock::now() + kCloseDrainLimit;
    while (h->Phase == TPhase::Open) {
      TClock::time_point wake = end;
      Drain(*h, lock, wake);
      if (h->Queue.empty() || h->Phase != TPhase::Open || TClock::now() >= end) break;
      lock.unlock();
      std::this_thread::sleep_until(std::min(wake, end));
      lock.lock();
    }
    const bool opened = h->Phase == TPhase::Open || h->Phase == TPhase::Waiting;
    h->Phase = TPhase::Closed;
    h->Queue.clear();
    StopServing(h);
    std::unique_ptr<TMidiBackendPort> port = std::move(h->Port);
    lock.unlock();
    if (port) {
      port->Close();
    } else if (opened) {
      Notify(*h, MOM_CLOSE);  // the device had gone: nothing left to close
    }
  }

private:
  std::thread Worker;  // last: starts once the members above exist
};

// Made once and never destroyed, so that handles still open at exit and the service's threads
// never meet a destroyed service.
TService& Service() {
  static TService* service = new TService;
  return *service;
}

void Notify(const TRoute& route, UINT message) {
  if (route.Proc != nullptr) {
    Service().Notifier.Post({route.Proc, route.Id, message, route.Instance});
  }
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
  std::unique_lock lock(s.Lock);
  s.ListLocked(lock);
  return static_cast<UINT>(s.Devices.size());
}

MMRESULT MidiOutGetDeviceName(UINT device, std::string& name) {
  TService& s = Service();
  std::unique_lock lock(s.Lock);
  s.EnsureListedLocked(lock);
  if (device >= s.Devices.size()) return MMSYSERR_BADDEVICEID;
  name = s.Devices[device];
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutGetDevCapsA(UINT device, MIDIOUTCAPSA* caps, UINT size) {
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  TService& s = Service();
  std::string name;
  {
    std::unique_lock lock(s.Lock);
    s.EnsureListedLocked(lock);
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
  std::unique_lock lock(s.Lock);
  s.EnsureListedLocked(lock);
  if (device >= s.Devices.size()) return MMSYSERR_BADDEVICEID;
  const std::string name = s.Devices[device];
  if (s.OpenDevices.count(name) != 0) return MMSYSERR_ALLOCATED;

  auto entry = std::find(s.Handles.begin(), s.Handles.end(), nullptr);
  if (entry == s.Handles.end()) return MMSYSERR_NOMEM;
  const std::size_t slot = static_cast<std::size_t>(entry - s.Handles.begin());
  std::uint32_t generation = s.LastGeneration[slot] + 1;
  if ((generation & 0x00FFFFFFu) == 0) generation = 1;  // stays in range on 32-bit handles too
  s.LastGeneration[slot] = generation;

  auto h = std::make_shared<THandle>();
  h->Id = (static_cast<HMIDIOUT>(generation) << kIndexBits) | (slot + 1);
  h->Device = name;
  h->Backend = s.CurrentBackend();
  h->Proc = flags == CALLBACK_FUNCTION ? callback : nullptr;
  h->Instance = instance;
  h->Route->Id = h->Id;
  h->Route->Proc = h->Proc;
  h->Route->Instance = h->Instance;
  *entry = h;
  s.OpenDevices.insert(name);
  s.Served.push_back(h);
  s.Post([&s, h, device] { s.OpenCommand(h, device); });
  // A device that has not answered in time is left to answer later: the handle stays, and its
  // MOM_OPEN comes when the open succeeds.
  if (s.WaitFor(lock, [&] { return h->Answered; }) && h->Answer != MMSYSERR_NOERROR) {
    return h->Answer;
  }
  *handle = h->Id;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD message) {
  const std::size_t count = kLengths[message & 0xFF];
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  const std::shared_ptr<THandle> h = s.Find(handle);
  if (!h) return MMSYSERR_INVALHANDLE;
  if (count == 0 || (message & kDataTopBits[count]) != 0) return MMSYSERR_INVALPARAM;
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(message & 0xFF),
                                 static_cast<std::uint8_t>((message >> 8) & 0xFF),
                                 static_cast<std::uint8_t>((message >> 16) & 0xFF)};
  s.Push(*h, bytes, count);
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) {
  {
    TService& s = Service();
    std::lock_guard lock(s.Lock);
    if (!s.Find(handle)) return MMSYSERR_INVALHANDLE;
  }
  if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT handle) {
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  const std::shared_ptr<THandle> h = s.Find(handle);
  if (!h) return MMSYSERR_INVALHANDLE;
  h->Route->UserClosed.store(true);
  s.Forget(*h);
  s.Post([&s, h] { s.CloseCommand(h); });
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

void MidiOutFlushNotifications() {
  TService& s = Service();
  {
    std::unique_lock lock(s.Lock);
    const std::uint64_t seq = s.Post([] {});
    s.WaitFor(lock, [&] { return s.CommandsPassed >= seq; });
  }
  s.Notifier.Flush();
}

void MidiOutSetDeviceRate(const std::string& deviceName, std::uint32_t bytesPerSecond) {
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  s.Rates[deviceName] = bytesPerSecond;
  for (const std::shared_ptr<THandle>& h : s.Served) {
    if (h->Device == deviceName) h->Rate = bytesPerSecond;
  }
  s.Kick();
}

std::optional<std::pair<std::string, std::uint32_t>> ParseMidiRateOption(std::string_view value) {
  const std::size_t equals = value.rfind('=');
  if (equals == std::string_view::npos || equals == 0) return std::nullopt;
  const std::string_view rate = value.substr(equals + 1);
  std::uint32_t bytesPerSecond = 0;
  if (rate != "unlimited") {
    const auto [end, error] =
        std::from_chars(rate.data(), rate.data() + rate.size(), bytesPerSecond);
    if (rate.empty() || error != std::errc{} || end != rate.data() + rate.size()) {
      return std::nullopt;
    }
  }
  return std::make_pair(std::string(value.substr(0, equals)), bytesPerSecond);
}

TMidiOutState MidiOutGetState(HMIDIOUT handle) {
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  TMidiOutState state;
  const std::shared_ptr<THandle> h = s.Find(handle);
  if (!h) return state;
  switch (h->Phase) {
    case TPhase::Opening:
      state.Link = TMidiLink::mlOpening;
      break;
    case TPhase::Open:
      state.Link = TMidiLink::mlOpen;
      break;
    case TPhase::Waiting:
      state.Link = TMidiLink::mlWaiting;
      break;
    case TPhase::Closed:
      break;
  }
  state.Device = h->Device;
  state.Queued = h->Queue.size();
  for (const TQueued& m : h->Queue) {
    if (m.Count == 0) --state.Queued;
  }
  state.Dropped = h->Dropped;
  state.Rate = h->Rate;
  return state;
}

void MidiOutListDevicesAsync(std::function<void(std::vector<std::string>)> done) {
  TService& s = Service();
  std::lock_guard lock(s.Lock);
  s.Post(
      [&s, backend = s.CurrentBackend(), done = std::move(done)] { done(s.StoreList(*backend)); });
}
