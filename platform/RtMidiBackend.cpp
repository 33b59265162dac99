#include "RtMidiBackend.h"

#include <jack/jack.h>
#include <unistd.h>

#include <RtMidi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

constexpr const char* kClientName = "Halvorine";
constexpr const char* kPortName = "out";
constexpr const char* kSequencerDevice = "/dev/snd/seq";

// RtMidi's JACK client queues each message as a 4-byte length and the bytes in a ring of 16 KiB
// that the server's cycle empties, and a send into a full ring spins until there is room. The port
// keeps its own count of what may still sit in the ring and stays well below that size, so that a
// send never meets a full ring, and a server that stops cycling cannot hold a send forever.
constexpr std::size_t kJackLengthPrefix = sizeof(int);
constexpr std::size_t kJackRingBudget = 12 * 1024;
// What a send waits for room, counted from the server's last cycle, before the message is dropped.
constexpr auto kJackStallLimit = std::chrono::milliseconds(250);
// Bytes written while the watch had counted c cycles have left the ring once it counts c + 4:
// cycle c + 3 then began after the write and its process callbacks have all run.
constexpr std::uint32_t kJackDrainCycles = 4;
// How much may be written without a look at the server: some sixty short messages.
constexpr std::size_t kJackCheckBytes = 448;

void Quiet(const char*) {}
void QuietRtMidi(RtMidiError::Type, const std::string&, void*) {}

// The JACK library prints every failed connection; the service prints nothing.
void SilenceJack() {
  static std::once_flag once;
  std::call_once(once, [] {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
  });
}

bool Compiled(RtMidi::Api api) {
  std::vector<RtMidi::Api> apis;
  RtMidi::getCompiledApi(apis);
  return std::find(apis.begin(), apis.end(), api) != apis.end();
}

// Without this check ALSA itself prints to stderr when the sequencer device is missing.
bool AlsaAvailable() { return access(kSequencerDevice, R_OK | W_OK) == 0; }

// An RtMidiOut that reports errors through `errors` instead of printing or throwing; nullptr when
// the API cannot be initialised.
std::unique_ptr<RtMidiOut> MakeOut(RtMidi::Api api, RtMidiErrorCallback callback, void* userData) {
  try {
    auto out = std::make_unique<RtMidiOut>(api, kClientName);
    out->setErrorCallback(callback, userData);
    return out;
  } catch (...) {
    return nullptr;
  }
}

// A client of its own on the JACK server that RtMidi's clients use: it counts the server's cycles
// and learns of the server's shutdown, which RtMidi does not pass on.
class TJackWatch {
public:
  static std::shared_ptr<TJackWatch> Connect() {
    SilenceJack();
    jack_status_t status{};
    jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
    if (client == nullptr) return nullptr;
    auto watch = std::shared_ptr<TJackWatch>(new TJackWatch(client));
    jack_set_process_callback(client, &TJackWatch::Process, watch.get());
    jack_on_shutdown(client, &TJackWatch::Shutdown, watch.get());
    if (jack_activate(client) != 0) return nullptr;
    return watch;
  }

  ~TJackWatch() { jack_client_close(FClient); }
  TJackWatch(const TJackWatch&) = delete;
  TJackWatch& operator=(const TJackWatch&) = delete;

  // The cycle count and the shutdown flag, read together in one load.
  std::uint64_t State() const { return FState.load(std::memory_order_acquire); }
  static bool Gone(std::uint64_t state) { return (state & kGoneBit) != 0; }
  static std::uint32_t Cycles(std::uint64_t state) { return static_cast<std::uint32_t>(state); }
  bool Gone() const { return Gone(State()); }

private:
  explicit TJackWatch(jack_client_t* client) : FClient(client) {}

  static int Process(jack_nframes_t, void* arg) {
    static_cast<TJackWatch*>(arg)->FState.fetch_add(1, std::memory_order_release);
    return 0;
  }
  static void Shutdown(void* arg) {
    static_cast<TJackWatch*>(arg)->FState.fetch_or(kGoneBit, std::memory_order_release);
  }

  // Cycles count up in the low bits; they would need some thousands of years to reach the flag.
  static constexpr std::uint64_t kGoneBit = std::uint64_t{1} << 63;
  jack_client_t* FClient;
  std::atomic<std::uint64_t> FState{0};
};

// An open RtMidi output port. Errors that RtMidi reports after construction land in FFailed.
class TRtPort : public TMidiBackendPort {
public:
  TRtPort(RtMidi::Api api, TMidiNotify notify) : FNotify(std::move(notify)) {
    FOut = MakeOut(api, &TRtPort::OnError, this);
  }

  // Opens RtMidi's port `number`; false when RtMidi refused.
  bool OpenPort(unsigned number) {
    if (!FOut) return false;
    FOut->openPort(number, kPortName);
    return FOut->isPortOpen() && !FFailed.load();
  }

  void Close() override {
    ReleaseOut();
    FNotify(MOM_CLOSE);
  }

  void NotifyOpen() { FNotify(MOM_OPEN); }
  RtMidiOut* Out() { return FOut.get(); }

protected:
  // Closes RtMidi's port and destroys the RtMidiOut.
  virtual void ReleaseOut() {
    if (FOut) FOut->closePort();
    FOut.reset();
  }
  void DestroyOut() { FOut.reset(); }

  MMRESULT Write(const std::uint8_t* bytes, std::size_t count) {
    FOut->sendMessage(bytes, count);
    return MMSYSERR_NOERROR;
  }

private:
  static void OnError(RtMidiError::Type type, const std::string&, void* arg) {
    if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING) {
      static_cast<TRtPort*>(arg)->FFailed.store(true);
    }
  }

  TMidiNotify FNotify;
  std::atomic<bool> FFailed{false};
  std::unique_ptr<RtMidiOut> FOut;  // last: RtMidi may report errors until it is gone
};

class TAlsaPort : public TRtPort {
public:
  explicit TAlsaPort(TMidiNotify notify) : TRtPort(RtMidi::LINUX_ALSA, std::move(notify)) {}
  MMRESULT Send(const std::uint8_t* bytes, std::size_t count) override {
    return Write(bytes, count);
  }
};

class TJackPort : public TRtPort {
public:
  TJackPort(TMidiNotify notify, std::shared_ptr<TJackWatch> watch)
      : TRtPort(RtMidi::UNIX_JACK, std::move(notify)), FWatch(std::move(watch)) {}
  ~TJackPort() override { ReleaseOut(); }

  // The watch's state lives on a cache line that the server's thread writes every cycle; reading
  // it on every send would cost more than the rest of the guard. It is read after every
  // kJackCheckBytes written, and whenever the count says the ring may be getting full.
  MMRESULT Send(const std::uint8_t* bytes, std::size_t count) override {
    const std::size_t need = kJackLengthPrefix + count;
    if (FQueued + need > FNextCheck) [[unlikely]] {
      const MMRESULT r = Check(need);
      if (r != MMSYSERR_NOERROR) return r;
    }
    FUnsettled += need;
    FQueued += need;
    return Write(bytes, count);
  }

protected:
  // RtMidi's JACK process callback may still be running when closePort returns, and the RtMidiOut
  // frees the ring that callback reads. Two more cycles of the server mean it has finished; a
  // server that is gone runs no callbacks at all.
  void ReleaseOut() override {
    if (Out() == nullptr) return;
    Out()->closePort();
    const std::uint32_t start = TJackWatch::Cycles(FWatch->State());
    const auto end = std::chrono::steady_clock::now() + kJackStallLimit;
    for (;;) {
      const std::uint64_t state = FWatch->State();
      if (TJackWatch::Gone(state) || TJackWatch::Cycles(state) - start >= 2) break;
      if (std::chrono::steady_clock::now() > end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    DestroyOut();
  }

private:
  [[gnu::noinline]] MMRESULT Check(std::size_t need) {
    const std::uint64_t state = FWatch->State();
    if (TJackWatch::Gone(state)) return MIDIERR_NODEVICE;
    const std::uint32_t now = TJackWatch::Cycles(state);
    if (now != FCycle) {
      FStalled = false;
      Settle(now);
    } else if (FStalled) {
      // After one stall, sends fail at once until the server cycles again.
      return MIDIERR_NOTREADY;
    } else {
      Settle(now);
    }
    const MMRESULT r = FQueued + need <= kJackRingBudget ? MMSYSERR_NOERROR : WaitForRoom(need);
    FNextCheck = std::min(FQueued + kJackCheckBytes, kJackRingBudget);
    return r;
  }

  // Books the bytes written since the last look as written in cycle `now`, the latest they can
  // have been, and counts what may still sit in the ring: the bytes of the last few cycles.
  void Settle(std::uint32_t now) {
    FCycle = now;
    const std::size_t bucket = now % kJackDrainCycles;
    if (FBucketCycle[bucket] != now) {
      FBucketCycle[bucket] = now;
      FBucketBytes[bucket] = 0;
    }
    FBucketBytes[bucket] += FUnsettled;
    FUnsettled = 0;
    FQueued = 0;
    for (std::size_t i = 0; i < kJackDrainCycles; ++i) {
      if (now - FBucketCycle[i] < kJackDrainCycles) FQueued += FBucketBytes[i];
    }
  }

  // Waits until the ring has room for `need` bytes. Gives up when the server has gone, or has not
  // cycled for kJackStallLimit; after such a stall, sends fail at once until it cycles again.
  MMRESULT WaitForRoom(std::size_t need) {
    auto since = std::chrono::steady_clock::now();
    for (;;) {
      std::this_thread::yield();
      const std::uint64_t state = FWatch->State();
      if (TJackWatch::Gone(state)) return MIDIERR_NODEVICE;
      const std::uint32_t now = TJackWatch::Cycles(state);
      if (now != FCycle) {
        Settle(now);
        since = std::chrono::steady_clock::now();
        if (FQueued + need <= kJackRingBudget) return MMSYSERR_NOERROR;
      } else if (std::chrono::steady_clock::now() - since > kJackStallLimit) {
        FStalled = true;
        return MIDIERR_NOTREADY;
      }
    }
  }

  std::shared_ptr<TJackWatch> FWatch;
  std::uint32_t FCycle = 0;    // the cycle count at the last look
  std::size_t FQueued = 0;     // what may still sit in the ring, at most
  std::size_t FUnsettled = 0;  // written since the last look
  std::size_t FNextCheck = 0;  // FQueued beyond which the next send looks again
  bool FStalled = false;
  std::array<std::uint32_t, kJackDrainCycles> FBucketCycle{};
  std::array<std::size_t, kJackDrainCycles> FBucketBytes{};
};

struct TDevice {
  RtMidi::Api Api;
  std::string Name;
};

class TRtMidiBackend : public TMidiBackend {
public:
  std::vector<std::string> ListDevices() override {
    SilenceJack();
    FDevices.clear();
    if (Compiled(RtMidi::LINUX_ALSA) && AlsaAvailable()) Append(RtMidi::LINUX_ALSA);
    if (Compiled(RtMidi::UNIX_JACK) && Watch()) Append(RtMidi::UNIX_JACK);
    std::vector<std::string> names;
    for (const TDevice& d : FDevices) names.push_back(d.Name);
    return names;
  }

  MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                std::unique_ptr<TMidiBackendPort>& port) override {
    SilenceJack();
    if (index >= FDevices.size() || FDevices[index].Name != name) return MMSYSERR_BADDEVICEID;
    const TDevice device = FDevices[index];
    std::unique_ptr<TRtPort> opened;
    if (device.Api == RtMidi::UNIX_JACK) {
      std::shared_ptr<TJackWatch> watch = Watch();
      if (!watch) return MIDIERR_NODEVICE;
      opened = std::make_unique<TJackPort>(std::move(notify), std::move(watch));
    } else {
      if (!AlsaAvailable()) return MIDIERR_NODEVICE;
      opened = std::make_unique<TAlsaPort>(std::move(notify));
    }
    RtMidiOut* out = opened->Out();
    if (out == nullptr) return MMSYSERR_ERROR;
    // Port numbers shift as other programs come and go: find the device by name now.
    const unsigned count = out->getPortCount();
    unsigned number = 0;
    while (number < count && out->getPortName(number) != name) ++number;
    if (number == count) return MIDIERR_NODEVICE;
    if (!opened->OpenPort(number)) return MMSYSERR_ERROR;
    opened->NotifyOpen();
    port = std::move(opened);
    return MMSYSERR_NOERROR;
  }

private:
  void Append(RtMidi::Api api) {
    std::unique_ptr<RtMidiOut> out = MakeOut(api, &QuietRtMidi, nullptr);
    if (!out) return;
    const unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
      std::string name = out->getPortName(i);
      if (!name.empty()) FDevices.push_back({api, std::move(name)});
    }
  }

  // The watch of the JACK server now running, shared by the ports open on it; nullptr when no
  // server answers.
  std::shared_ptr<TJackWatch> Watch() {
    std::shared_ptr<TJackWatch> watch = FWatch.lock();
    if (!watch || watch->Gone()) {
      watch = TJackWatch::Connect();
      FWatch = watch;
    }
    return watch;
  }

  std::vector<TDevice> FDevices;
  std::weak_ptr<TJackWatch> FWatch;
};

}  // namespace

std::shared_ptr<TMidiBackend> MakeRtMidiBackend() { return std::make_shared<TRtMidiBackend>(); }
