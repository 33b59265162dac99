#include "RtMidiBackend.h"

#include <poll.h>

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <RtMidi.h>

#include "AlsaInputRoom.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// A client of a JACK server that has gone can be neither closed nor destroyed (the JACK library
// crashes). Such clients are kept here, reachable and idle, until the process ends.
template <typename TClient>
void KeepForever(std::unique_ptr<TClient> out) {
  static std::mutex lock;
  static auto* const kept = new std::vector<std::unique_ptr<TClient>>();
  std::lock_guard guard(lock);
  kept->push_back(std::move(out));
}

constexpr const char* kClientName = "Halvorine";
// The client that only watches the JACK server has a name of its own, so that the client of the
// output port gets the program's name ("Halvorine:out").
constexpr const char* kWatchClientName = "Halvorine-watch";
constexpr const char* kPortName = "out";
// The input has a client of its own ("Halvorine-in:in"); sources of this program's own clients are
// not offered as inputs.
constexpr const char* kInClientName = "Halvorine-in";
constexpr const char* kInPortName = "in";
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
// What is written into the ring while the server runs one cycle (prefixes counted) is bounded by
// the length of the cycle: about 1,500 short messages a second, half again what a MIDI wire
// carries. RtMidi's process callback hands the whole ring to the port in one cycle, and a receiver
// (jack_midi_dump, a bridge to hardware) keeps a ring of its own, of some hundred messages, that
// its own thread empties when it gets to run: a burst in one cycle overflows it; spread over
// cycles, every message arrives. A send beyond the bound is refused (MIDIERR_NOTREADY) and offered
// again by the service a moment later.
constexpr std::size_t kJackRingBytesPerSecond = 1500 * (kJackLengthPrefix + 3);
constexpr std::size_t kJackMinCycleBytes = 2 * (kJackLengthPrefix + 3);
// A server that has not cycled for this long is taken as stalled: nothing is asked of it that would
// wait for its answer (opening, closing a client).
constexpr auto kJackStallProbe = std::chrono::milliseconds(200);

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
// and learns of the server's shutdown, which RtMidi does not pass on. It also lists the server's
// MIDI inputs, and keeps the RtMidi clients that were given up while the server stalled until the
// server answers again.
class TJackWatch {
public:
  static std::shared_ptr<TJackWatch> Connect() {
    SilenceJack();
    jack_status_t status{};
    jack_client_t* client = jack_client_open(kWatchClientName, JackNoStartServer, &status);
    if (client == nullptr) return nullptr;
    auto watch = std::shared_ptr<TJackWatch>(new TJackWatch(client));
    watch->FSampleRate = jack_get_sample_rate(client);
    jack_set_process_callback(client, &TJackWatch::Process, watch.get());
    jack_on_shutdown(client, &TJackWatch::Shutdown, watch.get());
    if (jack_activate(client) != 0) return nullptr;
    return watch;
  }

  // A stalled server would hold the close, and closing a client whose server has gone crashes the
  // JACK library: such a watch is left open, as are the clients it keeps.
  ~TJackWatch() {
    if (!Gone() && Cycling()) {
      jack_client_close(FClient);
    } else {
      for (std::unique_ptr<RtMidiOut>& out : FAbandoned) KeepForever(std::move(out));
    }
  }
  TJackWatch(const TJackWatch&) = delete;
  TJackWatch& operator=(const TJackWatch&) = delete;

  // The cycle count and the shutdown flag, read together in one load.
  std::uint64_t State() const { return FState.load(std::memory_order_acquire); }
  static bool Gone(std::uint64_t state) { return (state & kGoneBit) != 0; }
  static std::uint32_t Cycles(std::uint64_t state) { return static_cast<std::uint32_t>(state); }
  bool Gone() const { return Gone(State()); }

  // True when the server runs two cycles within kJackStallProbe (one might have been under way when
  // the server stopped); false when it is gone or stalled.
  bool Cycling() const {
    const std::uint64_t first = State();
    const auto end = std::chrono::steady_clock::now() + kJackStallProbe;
    for (;;) {
      const std::uint64_t now = State();
      if (Gone(now)) return false;
      if (Cycles(now) - Cycles(first) >= 2) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // The full names of the server's MIDI input ports, in the order RtMidi numbers them.
  std::vector<std::string> MidiInputs() const {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(FClient, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (ports == nullptr) return names;
    for (const char** p = ports; *p != nullptr; ++p) names.emplace_back(*p);
    jack_free(ports);
    return names;
  }
  // The full names of the server's MIDI sources, but this program's own.
  std::vector<std::string> MidiSources() const {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(FClient, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    if (ports == nullptr) return names;
    for (const char** p = ports; *p != nullptr; ++p) {
      if (std::string_view(*p).starts_with(kClientName)) continue;
      names.emplace_back(*p);
    }
    jack_free(ports);
    return names;
  }
  // The ring bytes that may be written while the server runs one cycle.
  std::size_t CycleBytes() const {
    const std::size_t frames = FFrames.load(std::memory_order_relaxed);
    if (FSampleRate == 0) return kJackMinCycleBytes;
    return std::max(kJackMinCycleBytes, frames * kJackRingBytesPerSecond / FSampleRate);
  }
  bool HasPort(const std::string& name) const {
    return jack_port_by_name(FClient, name.c_str()) != nullptr;
  }

  // Keeps a client whose close would wait on a stalled server.
  void Abandon(std::unique_ptr<RtMidiOut> out) {
    std::lock_guard lock(FLock);
    FAbandoned.push_back(std::move(out));
  }
  // Closes the abandoned clients once the server answers again; forgets them when it has gone.
  // True when none is left.
  bool ReleaseAbandoned() {
    std::vector<std::unique_ptr<RtMidiOut>> release;
    {
      std::lock_guard lock(FLock);
      if (FAbandoned.empty()) return true;
    }
    if (!Gone() && !Cycling()) return false;
    {
      std::lock_guard lock(FLock);
      release.swap(FAbandoned);
    }
    for (std::unique_ptr<RtMidiOut>& out : release) {
      if (Gone()) {
        KeepForever(std::move(out));
        continue;
      }
      out->closePort();
      WaitCycles(2);
      out.reset();
    }
    return true;
  }

  // Waits until the server has run `count` more cycles, at most kJackStallLimit.
  void WaitCycles(std::uint32_t count) const {
    const std::uint32_t start = Cycles(State());
    const auto end = std::chrono::steady_clock::now() + kJackStallLimit;
    for (;;) {
      const std::uint64_t state = State();
      if (Gone(state) || Cycles(state) - start >= count) return;
      if (std::chrono::steady_clock::now() > end) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

private:
  explicit TJackWatch(jack_client_t* client) : FClient(client) {}

  static int Process(jack_nframes_t frames, void* arg) {
    auto* watch = static_cast<TJackWatch*>(arg);
    watch->FFrames.store(frames, std::memory_order_relaxed);
    watch->FState.fetch_add(1, std::memory_order_release);
    return 0;
  }
  static void Shutdown(void* arg) {
    static_cast<TJackWatch*>(arg)->FState.fetch_or(kGoneBit, std::memory_order_release);
  }

  // Cycles count up in the low bits; they would need some thousands of years to reach the flag.
  static constexpr std::uint64_t kGoneBit = std::uint64_t{1} << 63;
  jack_client_t* FClient;
  std::atomic<std::uint64_t> FState{0};
  std::atomic<jack_nframes_t> FFrames{0};  // the length of the last cycle
  jack_nframes_t FSampleRate = 0;
  std::mutex FLock;
  std::vector<std::unique_ptr<RtMidiOut>> FAbandoned;
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
  // Hands the RtMidiOut over, its errors no longer reported to this port.
  std::unique_ptr<RtMidiOut> TakeOut() {
    if (FOut) FOut->setErrorCallback(&QuietRtMidi, nullptr);
    return std::move(FOut);
  }

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

  // The destination's port is gone when its client has left or the server has.
  bool Alive() override { return FWatch->Gone() ? false : FWatch->HasPort(FDevice); }

  void SetDevice(std::string device) { FDevice = std::move(device); }

protected:
  // RtMidi's JACK process callback may still be running when closePort returns, and the RtMidiOut
  // frees the ring that callback reads. Two more cycles of the server mean it has finished; a
  // server that is gone runs no callbacks at all. A stalled server would hold closePort until it
  // resumes: the client is then given to the watch, which closes it once the server answers.
  void ReleaseOut() override {
    if (Out() == nullptr) return;
    // The JACK library crashes when a client of a server that has gone unregisters its port or
    // closes: such a client is left as it is, and nothing of it runs any more.
    if (FWatch->Gone()) {
      KeepForever(TakeOut());
      return;
    }
    if (!FWatch->Cycling()) {
      FWatch->Abandon(TakeOut());
      return;
    }
    Out()->closePort();
    FWatch->WaitCycles(2);
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
    const std::size_t bucket = FCycle % kJackDrainCycles;
    const std::size_t thisCycle = FBucketCycle[bucket] == FCycle ? FBucketBytes[bucket] : 0;
    const std::size_t cycleBytes = FWatch->CycleBytes();
    if (thisCycle + need > cycleBytes) {
      FNextCheck = 0;
      return MIDIERR_NOTREADY;
    }
    const MMRESULT r = FQueued + need <= kJackRingBudget ? MMSYSERR_NOERROR : WaitForRoom(need);
    FNextCheck =
        std::min({FQueued + kJackCheckBytes, FQueued + cycleBytes - thisCycle, kJackRingBudget});
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
  std::string FDevice;
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

// Questions to the ALSA sequencer about its ports, through a client of its own that sends nothing.
class TAlsaQuery {
public:
  TAlsaQuery() {
    if (snd_seq_open(&FSeq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) FSeq = nullptr;
  }
  ~TAlsaQuery() {
    if (FSeq != nullptr) snd_seq_close(FSeq);
  }
  TAlsaQuery(const TAlsaQuery&) = delete;
  TAlsaQuery& operator=(const TAlsaQuery&) = delete;

  // The port's type bits, or nothing when the port named so is not there now.
  std::optional<unsigned> PortType(const std::string& name) {
    const std::optional<std::pair<int, int>> address = AlsaPortAddress(name);
    if (FSeq == nullptr || !address) return std::nullopt;
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    if (snd_seq_get_any_port_info(FSeq, address->first, address->second, info) < 0) {
      return std::nullopt;
    }
    return snd_seq_port_info_get_type(info);
  }

  // "CLIENT:PORT", the names of the client and the port at the address that `name` ends with;
  // nothing when no port is there.
  std::optional<std::string> NameAt(const std::string& name) {
    const std::optional<std::pair<int, int>> address = AlsaPortAddress(name);
    if (FSeq == nullptr || !address) return std::nullopt;
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_client_info(FSeq, address->first, client) < 0 ||
        snd_seq_get_any_port_info(FSeq, address->first, address->second, port) < 0) {
      return std::nullopt;
    }
    return std::string(snd_seq_client_info_get_name(client)) + ':' +
           snd_seq_port_info_get_name(port);
  }

private:
  snd_seq_t* FSeq = nullptr;
};

// An output port of the program's own on the ALSA sequencer, connected to the device. A user-space
// client (a software synthesizer, a bridge, aseqdump) takes events into an input queue of a few
// hundred; a write that finds it full is refused, RtMidi's ALSA output then drops the message
// without a word, and the client's next read throws away all its queue held. This port looks at
// the room in the device's queue before it writes and writes no more than there is; a message that
// finds no room (or is refused all the same) goes back to the service as MIDIERR_NOTREADY and
// stays first in the queue until there is room. Kernel clients (hardware, virtual cables) take each
// event as it comes.
class TAlsaPort : public TMidiBackendPort {
public:
  TAlsaPort(TMidiNotify notify, std::shared_ptr<TAlsaQuery> query, std::string device)
      : FNotify(std::move(notify)), FQuery(std::move(query)), FDevice(std::move(device)) {}
  ~TAlsaPort() override { Release(); }
  TAlsaPort(const TAlsaPort&) = delete;
  TAlsaPort& operator=(const TAlsaPort&) = delete;

  // Makes the client and its port "Halvorine:out" and connects it to the device.
  MMRESULT Open() {
    const std::optional<std::pair<int, int>> address = AlsaPortAddress(FDevice);
    if (!address) return MIDIERR_NODEVICE;
    if (snd_seq_open(&FSeq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) {
      FSeq = nullptr;
      return MIDIERR_NODEVICE;
    }
    snd_seq_set_client_name(FSeq, kClientName);
    FPort = snd_seq_create_simple_port(
        FSeq, kPortName, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (FPort < 0 || snd_midi_event_new(kMaxShortMessage, &FCoder) < 0) return MMSYSERR_ERROR;
    snd_midi_event_no_status(FCoder, 1);  // every message whole, no running status
    if (snd_seq_connect_to(FSeq, FPort, address->first, address->second) < 0) {
      return MIDIERR_NODEVICE;
    }
    FClient = address->first;
    pollfd descriptor{};
    if (snd_seq_poll_descriptors(FSeq, &descriptor, 1, POLLOUT) == 1) FFd = descriptor.fd;
    FNotify(MOM_OPEN);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Send(const std::uint8_t* bytes, std::size_t count) override {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_midi_event_reset_encode(FCoder);
    const long used = snd_midi_event_encode(FCoder, bytes, static_cast<long>(count), &event);
    if (used != static_cast<long>(count) || event.type == SND_SEQ_EVENT_NONE) {
      return MMSYSERR_INVALPARAM;
    }
    if (FCredit == 0 && !LookForRoom()) return MIDIERR_NOTREADY;
    snd_seq_ev_set_source(&event, FPort);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    // Written at once or not at all: no buffer of the library holds the event back.
    const int r = snd_seq_event_output_direct(FSeq, &event);
    if (r >= 0) {
      --FCredit;
      return MMSYSERR_NOERROR;
    }
    if (r == -EAGAIN || r == -ENOMEM || r == -ENOSPC) return MIDIERR_NOTREADY;
    return Alive() ? MMSYSERR_ERROR : MIDIERR_NODEVICE;
  }

  // The address may be taken by another client once the device's client has left: the device is
  // there while the port at its address still has its client's and its own name.
  bool Alive() override { return FQuery->NameAt(FDevice) == AlsaPortIdentity(FDevice); }

  void Close() override {
    Release();
    FNotify(MOM_CLOSE);
  }

private:
  static constexpr std::size_t kMaxShortMessage = 3;
  // Room left in the device's queue for others that write to it: a quarter, at most this much.
  static constexpr int kRoomKept = 16;
  // What may be written without a look when the sequencer does not tell the room.
  static constexpr int kUnknownRoom = 1 << 30;

  // Sets the credit to the room in the device's queue now, less what is kept for others. A queue
  // only empties between looks, so the credit never overfills it (other writers aside).
  bool LookForRoom() {
    const std::optional<TAlsaInputRoom> room =
        FFd >= 0 ? AlsaInputRoom(FFd, FClient) : std::nullopt;
    if (!room) {
      FCredit = kUnknownRoom;
      return true;
    }
    FCredit = std::max(room->Free - std::min(kRoomKept, room->Size / 4), 0);
    return FCredit > 0;
  }

  // Closing the client ends its connection; events written directly wait nowhere in between.
  void Release() {
    if (FCoder != nullptr) snd_midi_event_free(FCoder);
    FCoder = nullptr;
    if (FSeq != nullptr) snd_seq_close(FSeq);
    FSeq = nullptr;
  }

  TMidiNotify FNotify;
  std::shared_ptr<TAlsaQuery> FQuery;
  std::string FDevice;
  snd_seq_t* FSeq = nullptr;
  snd_midi_event_t* FCoder = nullptr;
  int FPort = -1;
  int FClient = -1;  // the device's
  int FFd = -1;      // the sequencer device, for the looks at the room
  int FCredit = 0;   // events that may still be written before the next look
};

// An open RtMidi input. RtMidi calls OnMessage on its own receiving thread (the JACK server's
// process thread, or the ALSA reader's), which only hands the bytes on.
class TRtInPort : public TMidiBackendInPort {
public:
  TRtInPort(RtMidi::Api api, std::string device, TMidiReceive receive,
            std::shared_ptr<TJackWatch> watch, std::shared_ptr<TAlsaQuery> alsa)
      : FApi(api),
        FDevice(std::move(device)),
        FReceive(std::move(receive)),
        FWatch(std::move(watch)),
        FAlsa(std::move(alsa)) {}
  ~TRtInPort() override { Close(); }

  MMRESULT Open() {
    try {
      FIn =
          std::make_unique<RtMidiIn>(FApi, FApi == RtMidi::UNIX_JACK ? kInClientName : kClientName);
      FIn->setErrorCallback(&QuietRtMidi, nullptr);
      const unsigned count = FIn->getPortCount();
      unsigned number = 0;
      while (number < count && FIn->getPortName(number) != FDevice) ++number;
      if (number == count) return MIDIERR_NODEVICE;
      // System exclusive and active sensing are left out; the rest, the clock too, is handed on.
      FIn->ignoreTypes(true, false, true);
      FIn->setCallback(&TRtInPort::OnMessage, this);
      FIn->openPort(number, kInPortName);
      return FIn->isPortOpen() ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    } catch (...) {
      return MMSYSERR_ERROR;
    }
  }

  bool Alive() override {
    if (FApi == RtMidi::UNIX_JACK) return !FWatch->Gone() && FWatch->HasPort(FDevice);
    return FAlsa->PortType(FDevice).has_value();
  }

  // As for the output: a client of a server that has gone is kept as it is, one of a stalled
  // server is kept until the process ends, and the process callback has finished two cycles
  // after the port closes.
  void Close() override {
    if (!FIn) return;
    if (FApi == RtMidi::UNIX_JACK) {
      if (FWatch->Gone() || !FWatch->Cycling()) {
        FIn->cancelCallback();
        KeepForever(std::move(FIn));
        return;
      }
      FIn->closePort();
      FWatch->WaitCycles(2);
    } else {
      FIn->closePort();
    }
    FIn.reset();
  }

private:
  static void OnMessage(double, std::vector<unsigned char>* message, void* arg) {
    if (message == nullptr || message->empty()) return;
    static_cast<TRtInPort*>(arg)->FReceive(message->data(), message->size());
  }

  RtMidi::Api FApi;
  std::string FDevice;
  TMidiReceive FReceive;
  std::shared_ptr<TJackWatch> FWatch;
  std::shared_ptr<TAlsaQuery> FAlsa;
  std::unique_ptr<RtMidiIn> FIn;
};

class TRtMidiBackend : public TMidiBackend {
public:
  std::vector<std::string> ListInputs() override {
    SilenceJack();
    FInputs.clear();
    if (Compiled(RtMidi::LINUX_ALSA) && AlsaAvailable()) {
      try {
        RtMidiIn in(RtMidi::LINUX_ALSA, kClientName);
        in.setErrorCallback(&QuietRtMidi, nullptr);
        const unsigned count = in.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
          std::string name = in.getPortName(i);
          if (!name.empty() && !name.starts_with(kClientName)) {
            FInputs.push_back({RtMidi::LINUX_ALSA, std::move(name)});
          }
        }
      } catch (...) {
      }
    }
    if (Compiled(RtMidi::UNIX_JACK)) {
      std::shared_ptr<TJackWatch> watch = Watch();
      if (watch && watch->Cycling()) {
        for (std::string& name : watch->MidiSources()) {
          FInputs.push_back({RtMidi::UNIX_JACK, std::move(name)});
        }
      }
    }
    std::vector<std::string> names;
    for (const TDevice& d : FInputs) names.push_back(d.Name);
    return names;
  }

  MMRESULT OpenInput(const std::string& name, TMidiReceive receive,
                     std::unique_ptr<TMidiBackendInPort>& port) override {
    SilenceJack();
    const auto device = std::find_if(FInputs.begin(), FInputs.end(),
                                     [&](const TDevice& d) { return d.Name == name; });
    if (device == FInputs.end()) return MMSYSERR_BADDEVICEID;
    std::shared_ptr<TJackWatch> watch;
    if (device->Api == RtMidi::UNIX_JACK) {
      watch = Watch();
      if (!watch) return MIDIERR_NODEVICE;
      if (!watch->Cycling()) return MIDIERR_NOTREADY;
    }
    std::shared_ptr<TAlsaQuery> alsa = watch ? nullptr : Alsa();
    auto in = std::make_unique<TRtInPort>(device->Api, name, std::move(receive), std::move(watch),
                                          std::move(alsa));
    const MMRESULT r = in->Open();
    if (r != MMSYSERR_NOERROR) return r;
    port = std::move(in);
    return MMSYSERR_NOERROR;
  }

  std::vector<std::string> ListDevices() override {
    SilenceJack();
    FDevices.clear();
    if (Compiled(RtMidi::LINUX_ALSA) && AlsaAvailable()) AppendAlsa();
    if (Compiled(RtMidi::UNIX_JACK)) AppendJack();
    std::vector<std::string> names;
    for (const TDevice& d : FDevices) names.push_back(d.Name);
    return names;
  }

  MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                std::unique_ptr<TMidiBackendPort>& port) override {
    SilenceJack();
    // The number is the one of the last list; the name decides when a later list moved it.
    if (index >= FDevices.size() || FDevices[index].Name != name) {
      index = 0;
      while (index < FDevices.size() && FDevices[index].Name != name) ++index;
      if (index == FDevices.size()) return MMSYSERR_BADDEVICEID;
    }
    const TDevice device = FDevices[index];
    if (device.Api == RtMidi::LINUX_ALSA) {
      if (!AlsaAvailable()) return MIDIERR_NODEVICE;
      auto alsa = std::make_unique<TAlsaPort>(std::move(notify), Alsa(), name);
      const MMRESULT r = alsa->Open();
      if (r == MMSYSERR_NOERROR) port = std::move(alsa);
      return r;
    }
    DropIdleWatch();
    std::shared_ptr<TJackWatch> watch = Watch();
    if (!watch) return MIDIERR_NODEVICE;
    // A stalled server would hold the new client's open until it resumes.
    if (!watch->Cycling()) return MIDIERR_NOTREADY;
    auto opened = std::make_unique<TJackPort>(std::move(notify), std::move(watch));
    opened->SetDevice(name);
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

  // An ALSA port whose client has left and come back has a new address: it is found again by the
  // names of its client and port.
  std::size_t FindDevice(const std::vector<std::string>& names, const std::string& name) override {
    const auto exact = std::find(names.begin(), names.end(), name);
    if (exact != names.end() || !AlsaPortAddress(name)) return exact - names.begin();
    const std::string identity = AlsaPortIdentity(name);
    for (std::size_t i = 0; i < names.size() && i < FDevices.size(); ++i) {
      if (FDevices[i].Api == RtMidi::LINUX_ALSA && FDevices[i].Name == names[i] &&
          AlsaPortIdentity(names[i]) == identity) {
        return i;
      }
    }
    return names.size();
  }

  // A hardware port of the sequencer is taken as a MIDI wire; every other port as software.
  std::uint32_t DefaultRate(const std::string& name) override {
    const auto device = std::find_if(FDevices.begin(), FDevices.end(),
                                     [&](const TDevice& d) { return d.Name == name; });
    if (device == FDevices.end() || device->Api != RtMidi::LINUX_ALSA) return kMidiRateUnlimited;
    const std::optional<unsigned> type = Alsa()->PortType(name);
    return type && AlsaPortIsWire(*type) ? kMidiDinRate : kMidiRateUnlimited;
  }

  void Maintain() override {
    if (std::shared_ptr<TJackWatch> watch = FWatch) watch->ReleaseAbandoned();
    std::erase_if(FRetired,
                  [](const std::shared_ptr<TJackWatch>& w) { return w->ReleaseAbandoned(); });
  }

private:
  void AppendAlsa() {
    std::unique_ptr<RtMidiOut> out = MakeOut(RtMidi::LINUX_ALSA, &QuietRtMidi, nullptr);
    if (!out) return;
    const unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
      std::string name = out->getPortName(i);
      if (!name.empty()) FDevices.push_back({RtMidi::LINUX_ALSA, std::move(name)});
    }
  }

  // The watch lists the server's inputs itself: no further client is opened to list them. While
  // the server stalls, the inputs listed last stand.
  void AppendJack() {
    std::shared_ptr<TJackWatch> watch = Watch();
    if (!watch) {
      FJackInputs.clear();
      return;
    }
    if (watch->Cycling()) FJackInputs = watch->MidiInputs();
    for (const std::string& name : FJackInputs) FDevices.push_back({RtMidi::UNIX_JACK, name});
  }

  // The watch of the JACK server now running, shared by the ports open on it; nullptr when no
  // server answers. A watch whose server has gone is kept while it holds abandoned clients.
  std::shared_ptr<TJackWatch> Watch() {
    if (!FWatch || FWatch->Gone()) {
      if (FWatch) FRetired.push_back(std::move(FWatch));
      FWatch = TJackWatch::Connect();
    }
    return FWatch;
  }

  // A port opens on a new watch unless another port still uses the current one. While any
  // client of a process is open, the JACK library keeps one table of the server's clients for the
  // whole process, and an entry can go stale in it: a client that leaves the server while one of
  // ours is being opened stays in the table, and the client that takes its place later never hears
  // from this process. With no client of the process left in between, the library starts afresh,
  // so that closing and opening the port again cures it. The watch is not changed while a device
  // is away: a new one opened just as the device's client leaves would meet that very race.
  void DropIdleWatch() {
    // A watch whose server has gone is replaced anyway; a stalled server is asked nothing.
    if (!FWatch || FWatch.use_count() != 1 || FWatch->Gone() || !FWatch->Cycling()) return;
    std::shared_ptr<TJackWatch> idle = std::move(FWatch);
    // One still holding clients given up on a stalled server waits among the retired ones.
    if (!idle->ReleaseAbandoned()) FRetired.push_back(std::move(idle));
  }

  std::shared_ptr<TAlsaQuery> Alsa() {
    if (!FAlsa) FAlsa = std::make_shared<TAlsaQuery>();
    return FAlsa;
  }

  std::vector<TDevice> FDevices;
  std::vector<TDevice> FInputs;
  std::vector<std::string> FJackInputs;
  std::shared_ptr<TJackWatch> FWatch;
  std::vector<std::shared_ptr<TJackWatch>> FRetired;
  std::shared_ptr<TAlsaQuery> FAlsa;
};

}  // namespace

std::shared_ptr<TMidiBackend> MakeRtMidiBackend() { return std::make_shared<TRtMidiBackend>(); }

std::optional<std::pair<int, int>> AlsaPortAddress(const std::string& name) {
  const std::size_t space = name.rfind(' ');
  const std::size_t colon = name.rfind(':');
  if (space == std::string::npos || colon == std::string::npos || colon < space)
    return std::nullopt;
  int client = -1;
  int port = -1;
  const char* begin = name.data();
  const auto [clientEnd, clientError] = std::from_chars(begin + space + 1, begin + colon, client);
  const auto [portEnd, portError] = std::from_chars(begin + colon + 1, begin + name.size(), port);
  if (clientError != std::errc{} || clientEnd != begin + colon || portError != std::errc{} ||
      portEnd != begin + name.size() || client < 0 || port < 0) {
    return std::nullopt;
  }
  return std::make_pair(client, port);
}

std::string AlsaPortIdentity(const std::string& name) {
  return AlsaPortAddress(name) ? name.substr(0, name.rfind(' ')) : name;
}

bool AlsaPortIsWire(unsigned type) {
  return (type & SND_SEQ_PORT_TYPE_HARDWARE) != 0 && (type & SND_SEQ_PORT_TYPE_SOFTWARE) == 0;
}
