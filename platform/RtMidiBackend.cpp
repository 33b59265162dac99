#include "RtMidiBackend.h"

#include <poll.h>

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
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

// The output port is a JACK client of the program's own. The worker writes each message into the
// port's ring as a length byte and its bytes; the server's process callback empties the ring into
// the port's buffer at the cycle's first frame, and writes clock ticks at their own frames.
constexpr std::size_t kJackRingSize = 16 * 1024;
constexpr std::size_t kJackMessageMax = 3;
// What a look at the server waits for cycles before it takes the server as stalled.
constexpr auto kJackStallLimit = std::chrono::milliseconds(250);
// What one cycle hands to the port (length bytes counted) is bounded by the length of the cycle:
// about 1,500 short messages a second, half again what a MIDI wire carries. A receiver
// (jack_midi_dump, a bridge to hardware) keeps a ring of its own, of some hundred messages, that
// its own thread empties when it gets to run: a burst in one cycle overflows it; spread over
// cycles, every message arrives. What the bound holds back waits in the ring for the next cycle.
constexpr std::size_t kJackBytesPerSecond = 1500 * (1 + kJackMessageMax);
constexpr std::size_t kJackMinCycleBytes = 2 * (1 + kJackMessageMax);
// The ring takes one cycle's share between two cycles of the server, and holds at most this many
// cycles' shares; a send beyond is refused (MIDIERR_NOTREADY) and offered again by the service a
// moment later, so a backlog waits in the service's queue, where a control change still takes its
// latest value.
constexpr std::size_t kJackRingCycles = 2;
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

// The output's own JACK client: one MIDI output port "out", connected to the device, a ring that
// the worker fills and the process callback empties, and, when asked, the handle's MIDI clock,
// written tick by tick at the frame where each falls due. The server's sample rate and cycle size
// are read once the client is active (a server may report its own default before) and followed
// through the server's callbacks. Destroying it closes the client, which stops the process
// callback first.
class TJackOutClient {
public:
  ~TJackOutClient() {
    if (FClient != nullptr) jack_client_close(FClient);
    if (FRing != nullptr) jack_ringbuffer_free(FRing);
  }
  TJackOutClient(const TJackOutClient&) = delete;
  TJackOutClient& operator=(const TJackOutClient&) = delete;

  // Opens the client, activates it and connects its port to `device`.
  static MMRESULT Open(const std::string& device, std::unique_ptr<TJackOutClient>& opened) {
    auto out = std::unique_ptr<TJackOutClient>(new TJackOutClient);
    jack_status_t status{};
    out->FClient = jack_client_open(kClientName, JackNoStartServer, &status);
    if (out->FClient == nullptr) return MIDIERR_NODEVICE;
    out->FPort =
        jack_port_register(out->FClient, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    out->FRing = jack_ringbuffer_create(kJackRingSize);
    if (out->FPort == nullptr || out->FRing == nullptr) return MMSYSERR_ERROR;
    jack_set_process_callback(out->FClient, &TJackOutClient::Process, out.get());
    jack_set_sample_rate_callback(out->FClient, &TJackOutClient::SampleRate, out.get());
    jack_set_buffer_size_callback(out->FClient, &TJackOutClient::BufferSize, out.get());
    if (jack_activate(out->FClient) != 0) return MMSYSERR_ERROR;
    // What a callback reported during the activation is newer than what is read here.
    jack_nframes_t none = 0;
    out->FSampleRate.compare_exchange_strong(none, jack_get_sample_rate(out->FClient));
    if (out->FSampleRate.load() == 0) return MMSYSERR_ERROR;
    out->FCycleBytes.store(BytesFor(jack_get_buffer_size(out->FClient), out->FSampleRate.load()));
    if (jack_connect(out->FClient, jack_port_name(out->FPort), device.c_str()) != 0) {
      return MIDIERR_NODEVICE;
    }
    opened = std::move(out);
    return MMSYSERR_NOERROR;
  }

  // Queues one message for the next cycle; false when one cycle's share has been written since
  // the server last cycled, or the ring holds its share already. A server that stops cycling thus
  // takes at most one cycle's share more; the rest waits in the service's queue.
  bool Write(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t need = 1 + count;
    const std::size_t share = std::max(FCycleBytes.load(std::memory_order_relaxed), need);
    const std::uint32_t cycle = FCycles.load(std::memory_order_relaxed);
    if (cycle != FWriteCycle) {
      FWriteCycle = cycle;
      FWrittenInCycle = 0;
    }
    if (FWrittenInCycle + need > share ||
        jack_ringbuffer_read_space(FRing) + need > kJackRingCycles * share) {
      return false;
    }
    std::array<char, 1 + kJackMessageMax> record{};
    record[0] = static_cast<char>(count);
    std::copy(bytes, bytes + count, record.begin() + 1);
    if (jack_ringbuffer_write(FRing, record.data(), need) != need) return false;
    FWrittenInCycle += need;
    return true;
  }

  void TimeClock(std::shared_ptr<TMidiClockState> clock) {
    FClockOwner = std::move(clock);
    FClock.store(FClockOwner.get(), std::memory_order_release);
  }

private:
  TJackOutClient() = default;

  static std::size_t BytesFor(jack_nframes_t frames, jack_nframes_t rate) {
    if (rate == 0) return kJackMinCycleBytes;
    return std::max(kJackMinCycleBytes, std::size_t{frames} * kJackBytesPerSecond / rate);
  }

  static int Process(jack_nframes_t frames, void* arg) {
    static_cast<TJackOutClient*>(arg)->Cycle(frames);
    return 0;
  }
  // Either may come on the process thread.
  static int SampleRate(jack_nframes_t rate, void* arg) {
    static_cast<TJackOutClient*>(arg)->FSampleRate.store(rate, std::memory_order_relaxed);
    return 0;
  }
  static int BufferSize(jack_nframes_t frames, void* arg) {
    auto* out = static_cast<TJackOutClient*>(arg);
    out->FCycleBytes.store(BytesFor(frames, out->FSampleRate.load(std::memory_order_relaxed)),
                           std::memory_order_relaxed);
    return 0;
  }

  // Runs on the server's real-time thread: no lock, no allocation, and no system call but the
  // clock's wake (an eventfd write) in a cycle that sent a tick or started or ended the ticks.
  // Messages go out at the cycle's first frame, ticks at their own; a Start or Continue among the
  // messages starts the ticks one period after it, a Stop ends them before any later tick of the
  // cycle. Started without a tempo, the ticks begin one period after the cycle that finds one.
  void Cycle(jack_nframes_t frames) {
    FCycles.fetch_add(1, std::memory_order_relaxed);
    void* buffer = jack_port_get_buffer(FPort, frames);
    jack_midi_clear_buffer(buffer);
    const jack_nframes_t start = jack_last_frame_time(FClient);
    const jack_nframes_t rate = FSampleRate.load(std::memory_order_relaxed);
    FollowFrameTime(start, frames);
    TMidiClockState* clock = FClock.load(std::memory_order_acquire);
    const std::size_t budget = BytesFor(frames, rate);
    FCycleBytes.store(budget, std::memory_order_relaxed);
    std::size_t used = 0;
    std::array<char, 1 + kJackMessageMax> record{};
    while (jack_ringbuffer_peek(FRing, record.data(), 1) == 1) {
      const auto count = static_cast<std::size_t>(static_cast<std::uint8_t>(record[0]));
      if (used + 1 + count > budget && used > 0) break;
      if (jack_ringbuffer_read_space(FRing) < 1 + count) break;
      jack_ringbuffer_peek(FRing, record.data(), 1 + count);
      const auto* bytes = reinterpret_cast<const jack_midi_data_t*>(record.data() + 1);
      if (jack_midi_event_write(buffer, 0, bytes, count) != 0) break;  // the buffer is full
      jack_ringbuffer_read_advance(FRing, 1 + count);
      used += 1 + count;
      if (clock != nullptr && Transport(*clock, bytes[0], start, rate)) clock->Wake();
    }
    if (clock != nullptr && FStarted && Ticks(*clock, buffer, start, frames, rate)) clock->Wake();
  }

  // The frame time runs on by each cycle's frames, or jumps ahead over cycles that did not run (a
  // stall: the ticks due meanwhile go out at once and the grid holds). A server that changes its
  // cycle size may number the frames afresh: PipeWire starts the first cycle of a new size that
  // size further on. No cycle runs through frames numbered so, and the grid moves with them: the
  // ticks keep their spacing in the frames that do run. A jump beyond that size is a stall as
  // well. A cycle that starts before the last one ended (PipeWire, about a change of rate) holds
  // the grid. Times are compared by their difference: frame counts wrap around.
  void FollowFrameTime(jack_nframes_t start, jack_nframes_t frames) {
    if (FLastFrames != 0 && frames != FLastFrames) {
      const auto jump = static_cast<std::int32_t>(start - (FLastStart + FLastFrames));
      if (jump >= static_cast<std::int32_t>(frames)) FNextTick += frames;
    }
    FLastStart = start;
    FLastFrames = frames;
  }

  // True when the ticks started or ended.
  bool Transport(TMidiClockState& clock, std::uint8_t status, jack_nframes_t at,
                 jack_nframes_t rate) {
    if (status != kStart && status != kContinue && status != kStop) return false;
    const bool wasRunning = FRunning;
    FStarted = status != kStop;
    if (status == kStart) clock.Ticks.store(0, std::memory_order_relaxed);
    FRunning = false;
    if (FStarted) Begin(clock, at, rate);
    clock.Running.store(FRunning, std::memory_order_relaxed);
    return FRunning || wasRunning;
  }

  // The first tick one period after `at`, when the clock has a tempo.
  void Begin(TMidiClockState& clock, jack_nframes_t at, jack_nframes_t rate) {
    const std::uint32_t milliBpm = clock.MilliBpm.load(std::memory_order_relaxed);
    if (milliBpm == 0 || rate == 0) return;
    FSteps = TMidiClockSteps(rate, milliBpm);
    FStepsMilliBpm = milliBpm;
    FStepsRate = rate;
    FNextTick = at + static_cast<jack_nframes_t>(FSteps.Next());
    FRunning = true;
  }

  // Writes the ticks due in the cycle; true when it sent any, or the ticks started or ended. A new
  // tempo or sample rate sets the spacing from the tick after the next one on.
  bool Ticks(TMidiClockState& clock, void* buffer, jack_nframes_t start, jack_nframes_t frames,
             jack_nframes_t rate) {
    const std::uint32_t milliBpm = clock.MilliBpm.load(std::memory_order_relaxed);
    if (milliBpm == 0 || !FRunning) {
      const bool wasRunning = FRunning;
      FRunning = false;
      if (milliBpm != 0) Begin(clock, start, rate);
      clock.Running.store(FRunning, std::memory_order_relaxed);
      return FRunning != wasRunning;
    }
    static constexpr jack_midi_data_t kTick = 0xF8;
    bool sent = false;
    for (;;) {
      const auto offset = static_cast<std::int32_t>(FNextTick - start);
      if (offset >= static_cast<std::int32_t>(frames)) return sent;
      // A tick whose frame has passed (the server skipped a cycle) goes out at once.
      jack_midi_event_write(buffer, static_cast<jack_nframes_t>(std::max(offset, 0)), &kTick, 1);
      clock.Ticks.fetch_add(1, std::memory_order_relaxed);
      sent = true;
      if (milliBpm != FStepsMilliBpm || (rate != FStepsRate && rate != 0)) {
        FSteps = TMidiClockSteps(rate != 0 ? rate : FStepsRate, milliBpm);
        FStepsMilliBpm = milliBpm;
        FStepsRate = rate != 0 ? rate : FStepsRate;
      }
      FNextTick += static_cast<jack_nframes_t>(FSteps.Next());
    }
  }

  static constexpr std::uint8_t kStart = 0xFA;
  static constexpr std::uint8_t kContinue = 0xFB;
  static constexpr std::uint8_t kStop = 0xFC;

  jack_client_t* FClient = nullptr;
  jack_port_t* FPort = nullptr;
  jack_ringbuffer_t* FRing = nullptr;
  std::atomic<jack_nframes_t> FSampleRate{0};
  std::atomic<std::size_t> FCycleBytes{kJackMinCycleBytes};
  std::atomic<std::uint32_t> FCycles{0};
  // The writer's (the worker's) own: the cycle count at its last write, and what it wrote since.
  std::uint32_t FWriteCycle = 0;
  std::size_t FWrittenInCycle = 0;
  std::shared_ptr<TMidiClockState> FClockOwner;
  std::atomic<TMidiClockState*> FClock{nullptr};
  // The process callback's own. Started: a Start or Continue came, and no Stop since; Running:
  // and the clock has a tempo, so ticks go out.
  bool FStarted = false;
  bool FRunning = false;
  TMidiClockSteps FSteps;
  std::uint32_t FStepsMilliBpm = 0;
  jack_nframes_t FStepsRate = 0;
  jack_nframes_t FNextTick = 0;
  jack_nframes_t FLastStart = 0;
  jack_nframes_t FLastFrames = 0;
};

// A client of its own on the JACK server that the program's other clients use: it counts the
// server's cycles and learns of the server's shutdown, which RtMidi's input does not pass on. It
// also lists the server's MIDI ports, and keeps the output clients that were given up while the
// server stalled until the server answers again.
class TJackWatch {
public:
  static std::shared_ptr<TJackWatch> Connect() {
    SilenceJack();
    jack_status_t status{};
    jack_client_t* client = jack_client_open(kWatchClientName, JackNoStartServer, &status);
    if (client == nullptr) return nullptr;
    auto watch = std::shared_ptr<TJackWatch>(new TJackWatch(client));
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
      for (std::unique_ptr<TJackOutClient>& out : FAbandoned) KeepForever(std::move(out));
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
  bool HasPort(const std::string& name) const {
    return jack_port_by_name(FClient, name.c_str()) != nullptr;
  }

  // Keeps a client whose close would wait on a stalled server.
  void Abandon(std::unique_ptr<TJackOutClient> out) {
    std::lock_guard lock(FLock);
    FAbandoned.push_back(std::move(out));
  }
  // Closes the abandoned clients once the server answers again; forgets them when it has gone.
  // True when none is left.
  bool ReleaseAbandoned() {
    std::vector<std::unique_ptr<TJackOutClient>> release;
    {
      std::lock_guard lock(FLock);
      if (FAbandoned.empty()) return true;
    }
    if (!Gone() && !Cycling()) return false;
    {
      std::lock_guard lock(FLock);
      release.swap(FAbandoned);
    }
    for (std::unique_ptr<TJackOutClient>& out : release) {
      if (Gone()) {
        KeepForever(std::move(out));
        continue;
      }
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

  static int Process(jack_nframes_t, void* arg) {
    auto* watch = static_cast<TJackWatch*>(arg);
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
  std::mutex FLock;
  std::vector<std::unique_ptr<TJackOutClient>> FAbandoned;
};

// An output port on a JACK server: the program's own client, watched by the server's watch.
class TJackPort : public TMidiBackendPort {
public:
  TJackPort(TMidiNotify notify, std::shared_ptr<TJackWatch> watch, std::string device)
      : FNotify(std::move(notify)), FWatch(std::move(watch)), FDevice(std::move(device)) {}
  ~TJackPort() override { Release(); }
  TJackPort(const TJackPort&) = delete;
  TJackPort& operator=(const TJackPort&) = delete;

  MMRESULT Open() {
    const MMRESULT r = TJackOutClient::Open(FDevice, FOut);
    if (r == MMSYSERR_NOERROR) FNotify(MOM_OPEN);
    return r;
  }

  // A full ring means the server has not emptied it lately: the message waits in the service's
  // queue, and a server that stops cycling never holds a send.
  MMRESULT Send(const std::uint8_t* bytes, std::size_t count) override {
    if (FWatch->Gone()) return MIDIERR_NODEVICE;
    if (count == 0 || count > kJackMessageMax) return MMSYSERR_INVALPARAM;
    return FOut->Write(bytes, count) ? MMSYSERR_NOERROR : MIDIERR_NOTREADY;
  }

  // The destination's port is gone when its client has left or the server has.
  bool Alive() override { return FWatch->Gone() ? false : FWatch->HasPort(FDevice); }

  void Close() override {
    Release();
    FNotify(MOM_CLOSE);
  }

  bool TimeClock(std::shared_ptr<TMidiClockState> clock) override {
    FOut->TimeClock(std::move(clock));
    return true;
  }

private:
  // The JACK library crashes when a client of a server that has gone closes: such a client is left
  // as it is, and nothing of it runs any more. A stalled server would hold the close until it
  // resumes: the client is then given to the watch, which closes it once the server answers.
  void Release() {
    if (!FOut) return;
    if (FWatch->Gone()) {
      KeepForever(std::move(FOut));
    } else if (!FWatch->Cycling()) {
      FWatch->Abandon(std::move(FOut));
    }
    FOut.reset();
  }

  TMidiNotify FNotify;
  std::shared_ptr<TJackWatch> FWatch;
  std::string FDevice;
  std::unique_ptr<TJackOutClient> FOut;
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
    if (!HasRoom()) return MIDIERR_NOTREADY;
    // Ticks scheduled for the run that this ends or starts again must not follow it.
    if (FQueue >= 0 && (event.type == SND_SEQ_EVENT_START || event.type == SND_SEQ_EVENT_CONTINUE ||
                        event.type == SND_SEQ_EVENT_STOP)) {
      DropScheduledTicks();
      FAnchored = false;
    }
    snd_seq_ev_set_source(&event, FPort);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    return Output(event);
  }

  // The address may be taken by another client once the device's client has left: the device is
  // there while the port at its address still has its client's and its own name.
  bool Alive() override { return FQuery->NameAt(FDevice) == AlsaPortIdentity(FDevice); }

  void Close() override {
    Release();
    FNotify(MOM_CLOSE);
  }

  // A tick goes onto the port's own queue, stamped with its time: the sequencer delivers it then,
  // on the kernel's timer, however late the worker woke up within the lead. Without a queue it
  // goes at once.
  MMRESULT SendTick(std::chrono::steady_clock::time_point due) override {
    static constexpr std::uint8_t kTick = 0xF8;
    if (FQueue < 0 && !StartQueue()) return Send(&kTick, 1);
    if (!HasRoom()) return MIDIERR_NOTREADY;
    if (!FAnchored) Anchor();
    // The tick's time on the queue: the anchor's, plus how far the tick lies after the anchor.
    const std::int64_t at =
        FAnchorQueueNs +
        std::max<std::int64_t>(
            0, std::chrono::duration_cast<std::chrono::nanoseconds>(due - FAnchor).count());
    snd_seq_real_time_t time{static_cast<unsigned>(at / kNanosecondsPerSecond),
                             static_cast<unsigned>(at % kNanosecondsPerSecond)};
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = SND_SEQ_EVENT_CLOCK;
    snd_seq_ev_set_source(&event, FPort);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_schedule_real(&event, FQueue, 0, &time);
    return Output(event);
  }
  std::chrono::nanoseconds TickLead() const override { return kTickLead; }

private:
  static constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
  // How early the worker hands a tick over: more than its wake-ups are late, even under load or
  // emulation, and a tick or two at the highest tempo.
  static constexpr std::chrono::nanoseconds kTickLead = std::chrono::milliseconds(10);

  // Written at once or not at all: no buffer of the library holds the event back.
  MMRESULT Output(snd_seq_event_t& event) {
    const int r = snd_seq_event_output_direct(FSeq, &event);
    if (r >= 0) {
      FRoom.Wrote();
      return MMSYSERR_NOERROR;
    }
    if (r == -EAGAIN || r == -ENOMEM || r == -ENOSPC) return MIDIERR_NOTREADY;
    return Alive() ? MMSYSERR_ERROR : MIDIERR_NODEVICE;
  }

  // The queue is worth its while on the high-resolution timer (a millisecond's grid); on the
  // system timer (4 ms at 250 Hz) the worker's own timer does better, and ticks go at once.
  bool StartQueue() {
    if (FQueueFailed) return false;
    FQueue = snd_seq_alloc_named_queue(FSeq, kClientName);
    if (FQueue >= 0 && OnHighResolutionTimer() && snd_seq_start_queue(FSeq, FQueue, nullptr) >= 0 &&
        snd_seq_drain_output(FSeq) >= 0) {
      return true;
    }
    if (FQueue >= 0) snd_seq_free_queue(FSeq, FQueue);
    FQueue = -1;
    FQueueFailed = true;
    return false;
  }

  bool OnHighResolutionTimer() {
    snd_seq_queue_timer_t* timer = nullptr;
    snd_seq_queue_timer_alloca(&timer);
    if (snd_seq_get_queue_timer(FSeq, FQueue, timer) < 0) return false;
    snd_timer_id_t* id = nullptr;
    snd_timer_id_alloca(&id);
    snd_timer_id_copy(id, snd_seq_queue_timer_get_id(timer));
    if (snd_timer_id_get_class(id) == SND_TIMER_CLASS_GLOBAL &&
        snd_timer_id_get_device(id) == SND_TIMER_GLOBAL_HRTIMER) {
      return true;
    }
    snd_timer_id_t* high = nullptr;
    snd_timer_id_alloca(&high);
    snd_timer_id_set_class(high, SND_TIMER_CLASS_GLOBAL);
    snd_timer_id_set_sclass(high, SND_TIMER_SCLASS_NONE);
    snd_timer_id_set_card(high, -1);
    snd_timer_id_set_device(high, SND_TIMER_GLOBAL_HRTIMER);
    snd_timer_id_set_subdevice(high, 0);
    snd_seq_queue_timer_set_id(timer, high);
    return snd_seq_set_queue_timer(FSeq, FQueue, timer) >= 0;
  }

  // Ties the queue's time to the steady clock once a run, so that the ticks of the run are stamped
  // by their own arithmetic rather than by a reading of each clock per tick.
  void Anchor() {
    snd_seq_queue_status_t* status = nullptr;
    snd_seq_queue_status_alloca(&status);
    FAnchor = std::chrono::steady_clock::now();
    FAnchorQueueNs = 0;
    if (snd_seq_get_queue_status(FSeq, FQueue, status) >= 0) {
      const snd_seq_real_time_t* now = snd_seq_queue_status_get_real_time(status);
      FAnchorQueueNs = std::int64_t{now->tv_sec} * kNanosecondsPerSecond + now->tv_nsec;
    }
    FAnchored = true;
  }

  void DropScheduledTicks() {
    snd_seq_remove_events_t* remove = nullptr;
    snd_seq_remove_events_alloca(&remove);
    snd_seq_remove_events_set_queue(remove, FQueue);
    snd_seq_remove_events_set_condition(remove, SND_SEQ_REMOVE_OUTPUT);
    snd_seq_remove_events(FSeq, remove);
  }

  static constexpr std::size_t kMaxShortMessage = 3;

  bool HasRoom() {
    return FRoom.MayWrite([this] {
      return FFd >= 0 ? AlsaInputRoom(FFd, FClient) : std::optional<TAlsaInputRoom>();
    });
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
  int FClient = -1;       // the device's
  int FFd = -1;           // the sequencer device, for the looks at the room
  TAlsaRoomCredit FRoom;  // events that may still be written before the next look
  int FQueue = -1;        // the queue that delivers clock ticks on time, made with the first tick
  bool FQueueFailed = false;
  bool FAnchored = false;
  std::chrono::steady_clock::time_point FAnchor{};
  std::int64_t FAnchorQueueNs = 0;
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
    auto opened = std::make_unique<TJackPort>(std::move(notify), std::move(watch), name);
    const MMRESULT r = opened->Open();
    if (r != MMSYSERR_NOERROR) return r;
    port = std::move(opened);
    return MMSYSERR_NOERROR;
  }

  // An ALSA port whose client has left and come back has a new address: it is found again by the
  // names of its client and port.
  std::size_t FindDevice(const std::vector<std::string>& names, const std::string& name) override {
    return FindDeviceByName(names, name, [&](std::size_t i) {
      return i < FDevices.size() && FDevices[i].Api == RtMidi::LINUX_ALSA &&
             FDevices[i].Name == names[i];
    });
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

std::size_t FindDeviceByName(const std::vector<std::string>& names, const std::string& name,
                             const std::function<bool(std::size_t)>& alsa) {
  const auto exact = std::find(names.begin(), names.end(), name);
  if (exact != names.end() || !AlsaPortAddress(name)) return exact - names.begin();
  const std::string identity = AlsaPortIdentity(name);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (alsa(i) && AlsaPortIdentity(names[i]) == identity) return i;
  }
  return names.size();
}

bool AlsaPortIsWire(unsigned type) {
  return (type & SND_SEQ_PORT_TYPE_HARDWARE) != 0 && (type & SND_SEQ_PORT_TYPE_SOFTWARE) == 0;
}
