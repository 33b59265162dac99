#include "RecordingMidiBackend.h"

#include <algorithm>
#include <atomic>

class TRecordingPort : public TMidiBackendPort {
public:
  // The service keeps `owner` alive for as long as the port is open.
  TRecordingPort(TRecordingMidiBackend& owner, std::string device, TMidiNotify notify)
      : FOwner(owner), FDevice(std::move(device)), FNotify(std::move(notify)) {}

  ~TRecordingPort() override {
    std::lock_guard lock(FOwner.FLock);
    FOwner.FPorts.erase(this);
  }

  MMRESULT Send(const std::uint8_t* bytes, std::size_t count) override {
    FOwner.WaitWhileStalled();
    bool hold = false;
    {
      std::lock_guard lock(FOwner.FLock);
      if (FGone) return MIDIERR_NODEVICE;
      const auto now = std::chrono::steady_clock::now();
      auto leaves = now;
      if (FOwner.FWireRate != 0) {
        // The buffer holds what has not left the wire yet.
        const auto start = std::max(now, FOwner.FWireFree);
        const auto held = std::chrono::duration<double>(start - now).count() * FOwner.FWireRate;
        if (held + static_cast<double>(count) > static_cast<double>(FOwner.FWireBuffer)) {
          ++FOwner.FRefusals;
          return MIDIERR_NOTREADY;
        }
        leaves = start +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(static_cast<double>(count) / FOwner.FWireRate));
        FOwner.FWireFree = leaves;
      }
      FOwner.FWireTimes.push_back(leaves);
      FOwner.FMessages.push_back({FDevice, std::vector<std::uint8_t>(bytes, bytes + count)});
      hold = FOwner.FHoldOutput;
      if (hold) ++FPending;
    }
    if (hold) FNotify(MOM_PENDING);
    return MMSYSERR_NOERROR;
  }

  bool Alive() override {
    std::lock_guard lock(FOwner.FLock);
    return !FGone;
  }

  void Close() override {
    FOwner.WaitWhileStalled();
    bool report = false;
    {
      std::lock_guard lock(FOwner.FLock);
      ++FOwner.FCloseCalls;
      FOwner.FPorts.erase(this);
      FPending = 0;
      report = FOwner.FReportClose;
      if (!report) FOwner.FWithheld.emplace_back(FNotify, MOM_CLOSE);
    }
    if (report) FNotify(MOM_CLOSE);
  }

  // Called with the owner's lock held.
  int TakePending() {
    const int n = FPending;
    FPending = 0;
    return n;
  }
  const TMidiNotify& Notify() const { return FNotify; }
  const std::string& Device() const { return FDevice; }
  bool FGone = false;  // guarded by the owner's lock

private:
  TRecordingMidiBackend& FOwner;
  std::string FDevice;
  TMidiNotify FNotify;
  int FPending = 0;  // guarded by the owner's lock
};

TRecordingMidiBackend::TRecordingMidiBackend(std::vector<std::string> devices)
    : FDevices(std::move(devices)) {}

TRecordingMidiBackend::~TRecordingMidiBackend() = default;

void TRecordingMidiBackend::SetDevices(std::vector<std::string> devices) {
  std::lock_guard lock(FLock);
  FDevices = std::move(devices);
  for (TRecordingPort* p : FPorts) {
    if (std::find(FDevices.begin(), FDevices.end(), p->Device()) == FDevices.end()) p->FGone = true;
  }
}

void TRecordingMidiBackend::Stall(bool stalled) {
  {
    std::lock_guard lock(FLock);
    FStalled = stalled;
  }
  FStallEnd.notify_all();
}

void TRecordingMidiBackend::WaitWhileStalled() {
  std::unique_lock lock(FLock);
  if (!FStalled) return;
  ++FBlocked;
  FStallEnd.wait(lock, [&] { return !FStalled; });
  --FBlocked;
}

void TRecordingMidiBackend::Settle() const {
  {
    std::lock_guard lock(FLock);
    if (FStalled) return;
  }
  MidiOutFlushNotifications();
}

void TRecordingMidiBackend::SetWire(std::uint32_t bytesPerSecond, std::size_t bufferBytes) {
  std::lock_guard lock(FLock);
  FWireRate = bytesPerSecond;
  FWireBuffer = bufferBytes;
  FWireFree = {};
}

void TRecordingMidiBackend::HoldDevice(const std::string& name, bool held) {
  std::lock_guard lock(FLock);
  held ? void(FHeldDevices.insert(name)) : void(FHeldDevices.erase(name));
}

void TRecordingMidiBackend::DeliverWithheld() {
  std::vector<std::pair<TMidiNotify, UINT>> withheld;
  {
    std::lock_guard lock(FLock);
    withheld.swap(FWithheld);
  }
  for (auto& [notify, message] : withheld) notify(message);
}

void TRecordingMidiBackend::ReleaseOutput() {
  Settle();
  std::vector<std::pair<TMidiNotify, int>> done;
  {
    std::lock_guard lock(FLock);
    for (TRecordingPort* p : FPorts) done.emplace_back(p->Notify(), p->TakePending());
  }
  for (auto& [notify, count] : done) {
    for (int i = 0; i < count; ++i) notify(MOM_DONE);
  }
}

std::vector<std::uint8_t> TRecordingMidiBackend::Bytes() const {
  Settle();
  std::lock_guard lock(FLock);
  std::vector<std::uint8_t> all;
  for (const TRecordedMessage& m : FMessages) all.insert(all.end(), m.Bytes.begin(), m.Bytes.end());
  return all;
}

void TRecordingMidiBackend::ClearMessages() {
  Settle();
  std::lock_guard lock(FLock);
  FMessages.clear();
  FWireTimes.clear();
}

class TRecordingInPort : public TMidiBackendInPort {
public:
  TRecordingInPort(TRecordingMidiBackend& backend, std::string name)
      : FBackend(backend), FName(std::move(name)) {}
  bool Alive() override {
    const std::vector<std::string> inputs = FBackend.ListInputs();
    return std::find(inputs.begin(), inputs.end(), FName) != inputs.end();
  }
  void Close() override {
    FBackend.WaitWhileStalled();
    FBackend.SetInputs(FBackend.ListInputs(), &FName);
  }

private:
  TRecordingMidiBackend& FBackend;
  std::string FName;
};

void TRecordingMidiBackend::SetInputs(std::vector<std::string> inputs, const std::string* closed) {
  std::lock_guard lock(FLock);
  FInputs = std::move(inputs);
  if (closed != nullptr) {
    std::erase_if(FOpenInputs, [&](const auto& open) { return open.first == *closed; });
  }
}

bool TRecordingMidiBackend::Play(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(FLock);
  for (const auto& [open, receive] : FOpenInputs) {
    if (open != name) continue;
    receive(bytes.data(), bytes.size());
    return true;
  }
  return false;
}

std::vector<std::string> TRecordingMidiBackend::ListInputs() {
  std::lock_guard lock(FLock);
  return FInputs;
}

MMRESULT TRecordingMidiBackend::OpenInput(const std::string& name, TMidiReceive receive,
                                          std::unique_ptr<TMidiBackendInPort>& port) {
  std::lock_guard lock(FLock);
  if (std::find(FInputs.begin(), FInputs.end(), name) == FInputs.end()) return MIDIERR_NODEVICE;
  FOpenInputs.emplace_back(name, std::move(receive));
  port = std::make_unique<TRecordingInPort>(*this, name);
  return MMSYSERR_NOERROR;
}

std::vector<std::string> TRecordingMidiBackend::ListDevices() {
  WaitWhileStalled();
  std::lock_guard lock(FLock);
  ++FListCalls;
  return FDevices;
}

MMRESULT TRecordingMidiBackend::Open(std::size_t index, const std::string& name, TMidiNotify notify,
                                     std::unique_ptr<TMidiBackendPort>& port) {
  WaitWhileStalled();
  bool report = false;
  TRecordingPort* opened = nullptr;
  {
    std::lock_guard lock(FLock);
    ++FOpenCalls;
    if (FRefusal != MMSYSERR_NOERROR) return FRefusal;
    if (index >= FDevices.size() || FDevices[index] != name) return MIDIERR_NODEVICE;
    if (FHeldDevices.count(name) != 0) return MMSYSERR_ALLOCATED;
    opened = new TRecordingPort(*this, name, notify);
    FPorts.insert(opened);
    report = FReportOpen;
    if (!report) FWithheld.emplace_back(notify, MOM_OPEN);
  }
  port.reset(opened);
  if (report) notify(MOM_OPEN);
  return MMSYSERR_NOERROR;
}

TRecordingMidiService::TRecordingMidiService(std::vector<std::string> devices)
    : FBackend(std::make_shared<TRecordingMidiBackend>(std::move(devices))),
      FPrevious(MidiOutSetBackend(FBackend)) {}

TRecordingMidiService::~TRecordingMidiService() {
  MidiOutFlushNotifications();
  MidiOutSetBackend(std::move(FPrevious));
}

namespace {

std::atomic<std::uint32_t> ManualNow{0};
std::atomic<std::uint32_t> ManualStep{0};
std::atomic<std::uint64_t> ManualReads{0};

std::uint32_t ManualTicks() {
  ManualReads.fetch_add(1);
  return ManualNow.fetch_add(ManualStep.load());
}

}  // namespace

TManualTickCount::TManualTickCount(std::uint32_t start, std::uint32_t step) {
  ManualNow.store(start);
  ManualStep.store(step);
  ManualReads.store(0);
  FPrevious = SetTickSource(&ManualTicks);
}

TManualTickCount::~TManualTickCount() { SetTickSource(FPrevious); }

void TManualTickCount::Set(std::uint32_t now) { ManualNow.store(now); }
void TManualTickCount::SetStep(std::uint32_t step) { ManualStep.store(step); }
std::uint32_t TManualTickCount::Now() const { return ManualNow.load(); }
std::uint64_t TManualTickCount::Reads() const { return ManualReads.load(); }
