#include "MidiOutWorker.h"

#include <sys/prctl.h>

#include <algorithm>
#include <set>

#include "MidiBytes.h"
#include "SystemMidiBackend.h"

namespace midi_service {

namespace {

// How often the worker asks an open device whether it is still there, tries to reopen a device
// that went away, and lets the backends release what they left behind.
constexpr auto kLookInterval = std::chrono::milliseconds(250);
// What a close still waits for queued output that can go out, before the rest is given up.
constexpr auto kCloseDrainLimit = std::chrono::seconds(1);
// While messages come, the worker looks for more this often, for this long after the last.
constexpr auto kPollInterval = std::chrono::milliseconds(1);
constexpr auto kPollWindow = std::chrono::milliseconds(100);
constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;

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

}  // namespace

TWorker& Worker() {
  static TWorker* worker = new TWorker;
  return *worker;
}

void Notify(const TRoute& route, UINT message) {
  if (route.Proc != nullptr) {
    Worker().Notifier.Post({route.Proc, route.Id, message, route.Instance});
  }
}

std::shared_ptr<TMidiBackend> TWorker::CurrentBackend() {
  if (!FBackend) FBackend = MakeSystemMidiBackend();
  return FBackend;
}

std::shared_ptr<TMidiBackend> TWorker::SetBackend(std::shared_ptr<TMidiBackend> backend) {
  std::shared_ptr<TMidiBackend> previous = std::move(FBackend);
  FBackend = std::move(backend);
  FDevices.clear();
  FListed = false;
  return previous;
}

bool TWorker::ListLocked(std::unique_lock<std::mutex>& lock) {
  return Call(lock, [this, backend = CurrentBackend()] { StoreList(*backend); });
}

std::vector<std::string> TWorker::StoreList(TMidiBackend& backend) {
  std::vector<std::string> names = backend.ListDevices();
  std::lock_guard lock(Lock);
  FDevices = names;
  FListed = true;
  return names;
}

void TWorker::SetRate(const std::string& device, std::uint32_t bytesPerSecond) {
  FRates[device] = bytesPerSecond;
  for (const std::shared_ptr<THandle>& h : FServed) {
    if (h->Device == device) h->Queue.SetRate(bytesPerSecond);
  }
  Kick();
}

void TWorker::StopServing(const std::shared_ptr<THandle>& h) {
  FServed.erase(std::remove(FServed.begin(), FServed.end(), h), FServed.end());
}

std::uint32_t TWorker::RateOf(const std::string& device, TMidiBackend& backend,
                              std::unique_lock<std::mutex>& lock) {
  const auto set = FRates.find(device);
  if (set != FRates.end()) return set->second;
  lock.unlock();
  const std::uint32_t rate = backend.DefaultRate(device);
  lock.lock();
  return rate;
}

void TWorker::Push(THandle& h, const std::uint8_t* bytes, std::size_t count) {
  // The clock is read only when the queue needs it, not for every message.
  const TClock::time_point at = h.Queue.NeedsTime(bytes[0]) ? TClock::now() : TClock::time_point{};
  h.Queue.Push(bytes, count, at);
  if (h.Queue.Held()) {
    SetHeld(h, true);  // a backlog that forms now is reported now
  } else if (!FKicked) {
    FLastMessage = TClock::now();
    Kick(false);
  }
}

TMidiOutState TWorker::StateOf(const THandle& h) {
  TMidiOutState state;
  switch (h.Phase) {
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
  state.Device = h.Device;
  state.Queued = h.Queue.Size();
  state.Dropped = h.Queue.Dropped();
  state.TransportDropped = h.Queue.TransportDropped();
  state.Rate = h.Queue.Rate();
  state.Refusing = h.Phase == TPhase::Open && h.Queue.Stuck(TClock::now());
  state.ClockBpm = h.Clock->MilliBpm.load() / 1000.0;
  state.ClockRunning = h.Clock->Running.load();
  return state;
}

// A backlog is reported once when it forms and once when it is gone.
void TWorker::SetHeld(THandle& h, bool held) {
  switch (h.Queue.SetHeld(held)) {
    case TMidiSendQueue::TNotice::Pending:
      Notify(h, MOM_PENDING);
      break;
    case TMidiSendQueue::TNotice::Done:
      Notify(h, MOM_DONE);
      break;
    case TMidiSendQueue::TNotice::None:
      break;
  }
}

void TWorker::Run() {
  // The worker's sleeps end when their time comes, not up to the default 50 µs later: clock ticks
  // are timed by them.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::unique_lock lock(Lock);
  for (;;) {
    while (!FCommands.empty()) {
      std::function<void()> command = std::move(FCommands.front());
      FCommands.pop_front();
      lock.unlock();
      command();
      command = nullptr;
      lock.lock();
      ++FCommandsDone;
      FProgress.notify_all();
    }
    FKicked = false;
    const TClock::time_point wake = Pass(lock);
    FCommandsPassed = FCommandsDone;
    FProgress.notify_all();
    if (!FCommands.empty() || FKicked) continue;
    // While messages keep coming (a drag sends some every millisecond), the worker looks for
    // them each millisecond instead of being woken for each: a wake-up costs the sender more
    // than the message itself. After kPollWindow without a message it sleeps until woken.
    if (TClock::now() - FLastMessage < kPollWindow) {
      FPolling = true;
      FWake.wait_until(lock, std::min(wake, TClock::now() + kPollInterval));
      FPolling = false;
      continue;
    }
    FSleeping = true;
    FWake.wait_until(lock, wake);
    FSleeping = false;
  }
}

// One pass over the served handles: watch, reconnect, drain. Returns when to pass again.
TClock::time_point TWorker::Pass(std::unique_lock<std::mutex>& lock) {
  TClock::time_point now = TClock::now();
  TClock::time_point wake = now + kLookInterval;
  const std::vector<std::shared_ptr<THandle>> served = FServed;
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
    h->Queue.Expire(TClock::now(), wake);
    if (h->Phase == TPhase::Open) Drain(*h, lock, wake);
    if (h->Phase == TPhase::Waiting) SetHeld(*h, true);
    wake = std::min(wake, h->NextLook);
  }
  now = TClock::now();
  if (now >= FNextMaintain) {
    FNextMaintain = now + kLookInterval;
    std::set<std::shared_ptr<TMidiBackend>> backends;
    if (FBackend) backends.insert(FBackend);
    for (const std::shared_ptr<THandle>& h : FServed) backends.insert(h->Backend);
    const std::vector<std::function<void()>> watchers = FWatchers;
    lock.unlock();
    for (const std::shared_ptr<TMidiBackend>& b : backends) b->Maintain();
    for (const std::function<void()>& watch : watchers) watch();
    lock.lock();
  }
  return std::min(wake, FNextMaintain);
}

// Hands the queue to the device as far as its rate and its answers allow. An unpaced device takes
// what waits in batches, so that the caller and the worker meet on the lock once per batch rather
// than once per message.
void TWorker::Drain(THandle& h, std::unique_lock<std::mutex>& lock, TClock::time_point& wake) {
  for (;;) {
    // A long backlog is handed over batch by batch; a tick that falls due meanwhile goes first.
    SendTicks(h, lock, wake);
    if (h.Phase != TPhase::Open) return;
    const std::span<const TMidiSendQueue::TMessage> batch = h.Queue.Take(TClock::now(), wake);
    if (batch.empty()) {
      SetHeld(h, h.Queue.Size() > 0);
      return;
    }
    TMidiBackendPort* port = h.Port.get();
    lock.unlock();
    std::size_t done = 0;
    MMRESULT r = MMSYSERR_NOERROR;
    for (; done < batch.size(); ++done) {
      if (batch[done].Count == 0) continue;
      r = port->Send(batch[done].Bytes.data(), batch[done].Count);
      if (r == MIDIERR_NOTREADY || r == MIDIERR_NODEVICE) break;
    }
    lock.lock();
    if (!h.PortTimesClock) {
      const TClock::time_point now = TClock::now();
      for (std::size_t i = 0; i < done; ++i) {
        if (batch[i].Count == 1) ClockTransport(h, batch[i].Bytes[0], now);
      }
    }
    // Sent, or refused for a reason of the message's own: either way they have left the queue.
    h.Queue.Sent(done, r == MIDIERR_NOTREADY, TClock::now());
    if (r == MIDIERR_NODEVICE) {
      Disconnect(h, lock);
      return;
    }
  }
}

void TWorker::Disconnect(THandle& h, std::unique_lock<std::mutex>& lock) {
  std::unique_ptr<TMidiBackendPort> port = std::move(h.Port);
  h.Phase = TPhase::Waiting;
  // The instrument has lost the clock with the device; ticks start again with the next Start.
  h.ClockStarted = false;
  if (h.Clock->Running.exchange(false)) h.Clock->Wake();
  h.NextLook = TClock::now() + kLookInterval;
  SetHeld(h, true);
  lock.unlock();
  if (port) port->Close();
  port.reset();
  lock.lock();
}

void TWorker::Reconnect(const std::shared_ptr<THandle>& h, std::unique_lock<std::mutex>& lock) {
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
  h->Queue.SetRate(RateOf(device, *backend, lock));
  Attach(*h, std::move(port));
  h->Phase = TPhase::Open;
  h->Queue.Resume();
  h->NextLook = TClock::now() + kLookInterval;
}

void TWorker::Attach(THandle& h, std::unique_ptr<TMidiBackendPort> port) {
  h.PortTimesClock = port->TimeClock(h.Clock);
  h.Port = std::move(port);
}

void TWorker::ClockTransport(THandle& h, std::uint8_t status, TClock::time_point at) {
  if (status != kMidiStart && status != kMidiContinue && status != kMidiStop) return;
  TMidiClockState& clock = *h.Clock;
  h.ClockStarted = status != kMidiStop;
  if (status == kMidiStart) clock.Ticks.store(0);
  const bool wasRunning = clock.Running.exchange(false);
  const std::uint32_t milliBpm = clock.MilliBpm.load();
  if (h.ClockStarted && milliBpm != 0) {
    BeginTicks(h, milliBpm, at);
  } else if (wasRunning) {
    clock.Wake();
  }
}

void TWorker::BeginTicks(THandle& h, std::uint32_t milliBpm, TClock::time_point at) {
  h.TickSteps = TMidiClockSteps(kNanosecondsPerSecond, milliBpm);
  h.TickMilliBpm = milliBpm;
  h.NextTick = at + std::chrono::nanoseconds(h.TickSteps.Next());
  h.Clock->Running.store(true);
  h.Clock->Wake();
  Kick();
}

// Ticks go to the port beside the queue, as soon as they are due: a backlog of control changes
// never holds the clock back. A tick the device refuses is counted and skipped. The clock's readers
// are woken once for the ticks of a pass.
void TWorker::SendTicks(THandle& h, std::unique_lock<std::mutex>& lock, TClock::time_point& wake) {
  TMidiClockState& clock = *h.Clock;
  if (h.PortTimesClock) return;
  const std::uint32_t milliBpm = clock.MilliBpm.load();
  if (milliBpm == 0) {
    if (clock.Running.exchange(false)) clock.Wake();
    return;
  }
  if (!clock.Running.load()) {
    if (!h.ClockStarted) return;
    BeginTicks(h, milliBpm, TClock::now());
  }
  bool sent = false;
  TMidiBackendPort* port = h.Port.get();
  const std::chrono::nanoseconds lead = port->TickLead();
  while (TClock::now() + lead >= h.NextTick) {
    const TClock::time_point due = h.NextTick;
    lock.unlock();
    const MMRESULT r = port->SendTick(due);
    lock.lock();
    clock.Ticks.fetch_add(1);
    sent = true;
    if (r == MMSYSERR_NOERROR) h.Queue.Charge(1, TClock::now());
    if (milliBpm != h.TickMilliBpm) {
      h.TickSteps = TMidiClockSteps(kNanosecondsPerSecond, milliBpm);
      h.TickMilliBpm = milliBpm;
    }
    h.NextTick += std::chrono::nanoseconds(h.TickSteps.Next());
    if (r == MIDIERR_NODEVICE) {
      clock.Wake();
      Disconnect(h, lock);
      return;
    }
    if (h.Port.get() != port || h.Phase != TPhase::Open) {
      clock.Wake();
      return;
    }
  }
  if (sent) clock.Wake();
  wake = std::min(wake, h.NextTick - lead);
}

void TWorker::OpenCommand(const std::shared_ptr<THandle>& h, std::size_t index) {
  std::unique_ptr<TMidiBackendPort> port;
  MMRESULT r = h->Backend->Open(index, h->Device, MakeNotify(h, true), port);
  if (r == MMSYSERR_NOERROR && !port) r = MMSYSERR_ERROR;
  std::unique_lock lock(Lock);
  h->Answered = true;
  h->Answer = r;
  if (r != MMSYSERR_NOERROR) {
    h->Phase = TPhase::Closed;
    Handles.Forget(*h);
    StopServing(h);
  } else if (h->Route->UserClosed.load()) {
    h->Phase = TPhase::Closed;
    lock.unlock();
    port->Close();
    return;
  } else {
    h->Queue.SetRate(RateOf(h->Device, *h->Backend, lock));
    Attach(*h, std::move(port));
    h->Phase = TPhase::Open;
    h->NextLook = TClock::now() + kLookInterval;
  }
  FProgress.notify_all();
}

// What waits goes out first while the device takes it (at most kCloseDrainLimit). A device that
// has gone, or has refused everything for a while (a stalled server), cannot drain: what waits for
// it is dropped and the close goes ahead at once.
void TWorker::CloseCommand(const std::shared_ptr<THandle>& h) {
  std::unique_lock lock(Lock);
  const TClock::time_point end = TClock::now() + kCloseDrainLimit;
  while (h->Phase == TPhase::Open && !h->Queue.Stuck(TClock::now())) {
    TClock::time_point wake = end;
    Drain(*h, lock, wake);
    if (h->Queue.Size() == 0 || h->Phase != TPhase::Open || TClock::now() >= end) break;
    lock.unlock();
    std::this_thread::sleep_until(std::min(wake, end));
    lock.lock();
  }
  const bool opened = h->Phase == TPhase::Open || h->Phase == TPhase::Waiting;
  h->Phase = TPhase::Closed;
  h->Queue.Clear();
  StopServing(h);
  std::unique_ptr<TMidiBackendPort> port = std::move(h->Port);
  lock.unlock();
  if (port) {
    port->Close();
  } else if (opened) {
    Notify(*h, MOM_CLOSE);  // the device had gone: nothing left to close
  }
}

}  // namespace midi_service
