#include "JackClient.h"

#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>

#include "MidiBytes.h"

namespace {

constexpr const char* kClientName = "Halvorine";
constexpr const char* kOutPortName = "out";
constexpr const char* kInPortName = "in";

// The worker writes each message into its output's ring as a length byte and its bytes; the
// process callback empties the ring into the port's buffer at the cycle's first frame, and writes
// clock ticks at their own frames.
constexpr std::size_t kRingSize = 16 * 1024;
// What a look at the server waits for cycles before it takes the server as stalled.
constexpr auto kStallLimit = std::chrono::milliseconds(250);
// A server that has not cycled for this long is taken as stalled: nothing is asked of it that would
// wait for its answer (opening, closing a client, registering a port).
constexpr auto kStallProbe = std::chrono::milliseconds(200);
// What one cycle hands to a port (length bytes counted) is bounded by the length of the cycle:
// about 1,500 short messages a second, half again what a MIDI wire carries. A receiver
// (jack_midi_dump, a bridge to hardware) keeps a ring of its own, of some hundred messages, that
// its own thread empties when it gets to run: a burst in one cycle overflows it; spread over
// cycles, every message arrives. What the bound holds back waits in the ring for the next cycle.
constexpr std::size_t kBytesPerSecond = 1500 * (1 + TJackClient::kMessageMax);
constexpr std::size_t kMinCycleBytes = 2 * (1 + TJackClient::kMessageMax);
// The ring takes one cycle's share between two cycles of the server, and holds at most this many
// cycles' shares; a send beyond is refused (MIDIERR_NOTREADY) and offered again by the service a
// moment later, so a backlog waits in the service's queue, where a control change still takes its
// latest value.
constexpr std::size_t kRingCycles = 2;

void Quiet(const char*) {}

std::size_t BytesFor(jack_nframes_t frames, jack_nframes_t rate) {
  if (rate == 0) return kMinCycleBytes;
  return std::max(kMinCycleBytes, std::size_t{frames} * kBytesPerSecond / rate);
}

}  // namespace

void SilenceJack() {
  static std::once_flag once;
  std::call_once(once, [] {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
  });
}

void KeepJackClientForever(std::shared_ptr<TJackClient> client) {
  static std::mutex lock;
  static auto* const kept = new std::vector<std::shared_ptr<TJackClient>>();
  std::lock_guard guard(lock);
  kept->push_back(std::move(client));
}

// One output port: its ring, and, when asked, the handle's MIDI clock, written tick by tick at the
// frame where each falls due.
class TJackOutput {
public:
  TJackOutput(jack_port_t* port, jack_nframes_t frames, jack_nframes_t rate)
      : Port(port), FRing(jack_ringbuffer_create(kRingSize)), FCycleBytes(BytesFor(frames, rate)) {}
  ~TJackOutput() {
    if (FRing != nullptr) jack_ringbuffer_free(FRing);
  }
  TJackOutput(const TJackOutput&) = delete;
  TJackOutput& operator=(const TJackOutput&) = delete;

  bool Valid() const { return FRing != nullptr; }

  // Queues one message for the next cycle; false when one cycle's share has been written since
  // the server last cycled, or the ring holds its share already. A server that stops cycling thus
  // takes at most one cycle's share more; the rest waits in the service's queue.
  bool Write(const std::uint8_t* bytes, std::size_t count, std::uint32_t cycle) {
    if (count == 0 || count > TJackClient::kMessageMax) return false;
    const std::size_t need = 1 + count;
    const std::size_t share = std::max(FCycleBytes.load(std::memory_order_relaxed), need);
    if (cycle != FWriteCycle) {
      FWriteCycle = cycle;
      FWrittenInCycle = 0;
    }
    if (FWrittenInCycle + need > share ||
        jack_ringbuffer_read_space(FRing) + need > kRingCycles * share) {
      return false;
    }
    std::array<char, 1 + TJackClient::kMessageMax> record{};
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

  // Runs on the server's real-time thread: no lock, no allocation, and no system call but the
  // clock's wake (an eventfd write) in a cycle that sent a tick or started or ended the ticks.
  // Messages go out at the cycle's first frame, ticks at their own; a Start or Continue among the
  // messages starts the ticks one period after it, a Stop ends them before any later tick of the
  // cycle. Started without a tempo, the ticks begin one period after the cycle that finds one.
  void Cycle(jack_nframes_t frames, jack_nframes_t start, jack_nframes_t rate) {
    void* buffer = jack_port_get_buffer(Port, frames);
    // The server hands an output port's buffer on as it was left: a port that writes nothing more
    // must still empty it each cycle, or its last events go out again and again.
    jack_midi_clear_buffer(buffer);
    if (Closed.load(std::memory_order_acquire)) return;
    FollowFrameTime(start, frames);
    TMidiClockState* clock = FClock.load(std::memory_order_acquire);
    const std::size_t budget = BytesFor(frames, rate);
    FCycleBytes.store(budget, std::memory_order_relaxed);
    std::size_t used = 0;
    std::array<char, 1 + TJackClient::kMessageMax> record{};
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

  // A new cycle size takes effect for the worker's writes at once.
  void SetCycleFrames(jack_nframes_t frames, jack_nframes_t rate) {
    FCycleBytes.store(BytesFor(frames, rate), std::memory_order_relaxed);
  }

  jack_port_t* const Port;
  // Set by the worker: the port sends nothing more and waits to be unregistered.
  std::atomic<bool> Closed{false};

private:
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
    if (status != kMidiStart && status != kMidiContinue && status != kMidiStop) return false;
    const bool wasRunning = FRunning;
    FStarted = status != kMidiStop;
    if (status == kMidiStart) clock.Ticks.store(0, std::memory_order_relaxed);
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
    bool sent = false;
    for (;;) {
      const auto offset = static_cast<std::int32_t>(FNextTick - start);
      if (offset >= static_cast<std::int32_t>(frames)) return sent;
      // A tick whose frame has passed (the server skipped a cycle) goes out at once. One that the
      // cycle's buffer does not take waits for the next cycle's first frame, as after a stall: the
      // instrument's count stays whole.
      if (jack_midi_event_write(buffer, static_cast<jack_nframes_t>(std::max(offset, 0)),
                                &kMidiClockTick, 1) != 0) {
        return sent;
      }
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

  jack_ringbuffer_t* FRing;
  std::atomic<std::size_t> FCycleBytes;
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

// The input port and where its events go.
class TJackInput {
public:
  TJackInput(jack_port_t* port, TMidiReceive receive) : Port(port), Receive(std::move(receive)) {}

  // Runs on the server's real-time thread: each event's bytes as they came.
  void Cycle(jack_nframes_t frames) const {
    void* buffer = jack_port_get_buffer(Port, frames);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) == 0 && event.size > 0) {
        Receive(event.buffer, event.size);
      }
    }
  }

  jack_port_t* const Port;
  const TMidiReceive Receive;
};

TJackClient::TJackClient(jack_client_t* client) : FClient(client) {}

std::shared_ptr<TJackClient> TJackClient::Connect() {
  SilenceJack();
  jack_status_t status{};
  jack_client_t* client = jack_client_open(kClientName, JackNoStartServer, &status);
  if (client == nullptr) return nullptr;
  auto jack = std::shared_ptr<TJackClient>(new TJackClient(client));
  jack_set_process_callback(client, &TJackClient::Process, jack.get());
  jack_on_shutdown(client, &TJackClient::Shutdown, jack.get());
  jack_set_sample_rate_callback(client, &TJackClient::SampleRate, jack.get());
  jack_set_buffer_size_callback(client, &TJackClient::BufferSize, jack.get());
  jack_set_port_registration_callback(client, &TJackClient::PortRegistered, jack.get());
  jack_set_client_registration_callback(client, &TJackClient::ClientRegistered, jack.get());
  if (jack_activate(client) != 0) {
    jack_client_close(client);
    jack->FClient = nullptr;
    return nullptr;
  }
  // A server may report its own default before the client is active: what a callback reported
  // during the activation is newer than what is read here.
  jack_nframes_t none = 0;
  jack->FSampleRate.compare_exchange_strong(none, jack_get_sample_rate(client));
  none = 0;
  jack->FBufferSize.compare_exchange_strong(none, jack_get_buffer_size(client));
  return jack;
}

TJackClient::~TJackClient() {
  if (FClient == nullptr) return;
  if (Gone() || !Cycling()) return;  // left open: see the header
  jack_client_close(FClient);
}

bool TJackClient::Cycling() const {
  const std::uint64_t first = State();
  const auto end = std::chrono::steady_clock::now() + kStallProbe;
  for (;;) {
    const std::uint64_t now = State();
    if (Gone(now)) return false;
    if (Cycles(now) - Cycles(first) >= 2) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TJackClient::WaitCycles(std::uint32_t count) const {
  const std::uint32_t start = Cycles(State());
  const auto end = std::chrono::steady_clock::now() + kStallLimit;
  for (;;) {
    const std::uint64_t state = State();
    if (Gone(state) || Cycles(state) - start >= count) return;
    if (std::chrono::steady_clock::now() > end) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::vector<std::string> TJackClient::MidiInputs() const {
  std::vector<std::string> names;
  const char** ports = jack_get_ports(FClient, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  if (ports == nullptr) return names;
  for (const char** p = ports; *p != nullptr; ++p) {
    // The program's own input is no device to send to.
    if (std::string_view(*p).starts_with(jack_get_client_name(FClient)) &&
        (*p)[std::strlen(jack_get_client_name(FClient))] == ':') {
      continue;
    }
    names.emplace_back(*p);
  }
  jack_free(ports);
  return names;
}

std::vector<std::string> TJackClient::MidiSources() const {
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

bool TJackClient::HasPort(const std::string& name) const {
  return jack_port_by_name(FClient, name.c_str()) != nullptr;
}

bool TJackClient::Idle() const {
  return !FInput && FClosedInputs.empty() &&
         std::none_of(FOutputs.begin(), FOutputs.end(), [](const auto& o) { return o != nullptr; });
}

MMRESULT TJackClient::OpenOutput(const std::string& device, TJackOutput*& output) {
  const auto free = std::find(FOutputs.begin(), FOutputs.end(), nullptr);
  if (free == FOutputs.end()) return MMSYSERR_NOMEM;
  const auto slot = static_cast<std::size_t>(free - FOutputs.begin());
  // "out" for the first; further outputs open at once take the first free number from 2 on.
  std::string name = kOutPortName;
  for (int n = 2;
       jack_port_by_name(
           FClient, (std::string(jack_get_client_name(FClient)) + ':' + name).c_str()) != nullptr;
       ++n) {
    name = std::string(kOutPortName) + '-' + std::to_string(n);
  }
  jack_port_t* port =
      jack_port_register(FClient, name.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (port == nullptr) return MMSYSERR_ERROR;
  auto out = std::make_unique<TJackOutput>(port, FBufferSize.load(), FSampleRate.load());
  if (!out->Valid() || FSampleRate.load() == 0) {
    jack_port_unregister(FClient, port);
    return MMSYSERR_ERROR;
  }
  FOutputSlots[slot].store(out.get(), std::memory_order_release);
  output = out.get();
  FOutputs[slot] = std::move(out);
  if (jack_connect(FClient, jack_port_name(port), device.c_str()) != 0) {
    CloseOutput(output);
    output = nullptr;
    return MIDIERR_NODEVICE;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TJackClient::OpenInput(const std::string& source, TMidiReceive receive) {
  if (FInput) return MMSYSERR_ALLOCATED;
  jack_port_t* port =
      jack_port_register(FClient, kInPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (port == nullptr) return MMSYSERR_ERROR;
  FInput = std::make_unique<TJackInput>(port, std::move(receive));
  FInputSlot.store(FInput.get(), std::memory_order_release);
  if (jack_connect(FClient, source.c_str(), jack_port_name(port)) != 0) {
    CloseInput();
    return MIDIERR_NODEVICE;
  }
  return MMSYSERR_NOERROR;
}

void TJackClient::CloseOutput(TJackOutput* output) {
  const auto owned = std::find_if(FOutputs.begin(), FOutputs.end(),
                                  [&](const auto& o) { return o.get() == output; });
  if (owned == FOutputs.end()) return;
  output->Closed.store(true, std::memory_order_release);
  // A server that has gone runs the callback no more, but its ports are left as they are; one that
  // stalls has the port unregistered once it cycles again.
  if (Gone() || !Cycling()) return;
  ReleaseOutput(static_cast<std::size_t>(owned - FOutputs.begin()));
}

// A closed port is emptied by a cycle that began after it was closed, then left by the callback,
// then unregistered.
void TJackClient::ReleaseOutput(std::size_t slot) {
  WaitCycles(2);
  FOutputSlots[slot].store(nullptr, std::memory_order_release);
  Release(FOutputs[slot]->Port);
  FOutputs[slot].reset();
}

void TJackClient::CloseInput() {
  if (!FInput) return;
  FInputSlot.store(nullptr);
  std::unique_ptr<TJackInput> closed = std::move(FInput);
  if (Gone() || !Cycling()) {
    FClosedInputs.push_back(std::move(closed));
    return;
  }
  Release(closed->Port);
}

void TJackClient::Release(jack_port_t* port) {
  WaitCycles(2);
  jack_port_unregister(FClient, port);
}

bool TJackClient::ReleaseClosed() {
  const auto closed = [](const std::unique_ptr<TJackOutput>& o) { return o && o->Closed.load(); };
  if (FClosedInputs.empty() && std::none_of(FOutputs.begin(), FOutputs.end(), closed)) return true;
  if (Gone() || !Cycling()) return false;
  for (std::size_t slot = 0; slot < kOutputs; ++slot) {
    if (closed(FOutputs[slot])) ReleaseOutput(slot);
  }
  for (const std::unique_ptr<TJackInput>& in : FClosedInputs) {
    jack_port_unregister(FClient, in->Port);
  }
  FClosedInputs.clear();
  return true;
}

bool TJackClient::Write(TJackOutput& output, const std::uint8_t* bytes, std::size_t count) const {
  return output.Write(bytes, count, Cycles(State()));
}

void TJackClient::TimeClock(TJackOutput& output, std::shared_ptr<TMidiClockState> clock) {
  output.TimeClock(std::move(clock));
}

int TJackClient::Process(jack_nframes_t frames, void* arg) {
  static_cast<TJackClient*>(arg)->Cycle(frames);
  return 0;
}

// Runs on the server's real-time thread: atomics, the ports' rings and the receive function only.
void TJackClient::Cycle(jack_nframes_t frames) {
  FState.fetch_add(1, std::memory_order_release);
  const jack_nframes_t start = jack_last_frame_time(FClient);
  const jack_nframes_t rate = FSampleRate.load(std::memory_order_relaxed);
  for (std::atomic<TJackOutput*>& slot : FOutputSlots) {
    if (TJackOutput* out = slot.load(std::memory_order_acquire)) out->Cycle(frames, start, rate);
  }
  if (const TJackInput* in = FInputSlot.load(std::memory_order_acquire)) in->Cycle(frames);
}

void TJackClient::Shutdown(void* arg) {
  static_cast<TJackClient*>(arg)->FState.fetch_or(kGoneBit, std::memory_order_release);
}

// Either may come on the process thread.
int TJackClient::SampleRate(jack_nframes_t rate, void* arg) {
  static_cast<TJackClient*>(arg)->FSampleRate.store(rate, std::memory_order_relaxed);
  return 0;
}

int TJackClient::BufferSize(jack_nframes_t frames, void* arg) {
  auto* client = static_cast<TJackClient*>(arg);
  client->FBufferSize.store(frames, std::memory_order_relaxed);
  const jack_nframes_t rate = client->FSampleRate.load(std::memory_order_relaxed);
  for (std::atomic<TJackOutput*>& slot : client->FOutputSlots) {
    if (TJackOutput* out = slot.load(std::memory_order_acquire)) out->SetCycleFrames(frames, rate);
  }
  return 0;
}

void TJackClient::PortRegistered(jack_port_id_t, int, void* arg) {
  static_cast<TJackClient*>(arg)->FGraphChanges.fetch_add(1, std::memory_order_release);
}

void TJackClient::ClientRegistered(const char*, int, void* arg) {
  static_cast<TJackClient*>(arg)->FGraphChanges.fetch_add(1, std::memory_order_release);
}

namespace {

// An output port on a JACK server: a port of the program's one client.
class TJackPort : public TMidiBackendPort {
public:
  TJackPort(TMidiNotify notify, std::shared_ptr<TJackClient> client, std::string device)
      : FNotify(std::move(notify)), FClient(std::move(client)), FDevice(std::move(device)) {}
  ~TJackPort() override { Release(); }
  TJackPort(const TJackPort&) = delete;
  TJackPort& operator=(const TJackPort&) = delete;

  MMRESULT Open() {
    const MMRESULT r = FClient->OpenOutput(FDevice, FOut);
    if (r == MMSYSERR_NOERROR) FNotify(MOM_OPEN);
    return r;
  }

  // A full ring means the server has not emptied it lately: the message waits in the service's
  // queue, and a server that stops cycling never holds a send.
  MMRESULT Send(const std::uint8_t* bytes, std::size_t count) override {
    if (FClient->Gone()) return MIDIERR_NODEVICE;
    if (count == 0 || count > TJackClient::kMessageMax) return MMSYSERR_INVALPARAM;
    return FClient->Write(*FOut, bytes, count) ? MMSYSERR_NOERROR : MIDIERR_NOTREADY;
  }

  // The destination's port is gone when its client has left or the server has.
  bool Alive() override { return FClient->Gone() ? false : FClient->HasPort(FDevice); }

  void Close() override {
    Release();
    FNotify(MOM_CLOSE);
  }

  bool TimeClock(std::shared_ptr<TMidiClockState> clock) override {
    TJackClient::TimeClock(*FOut, std::move(clock));
    return true;
  }

private:
  void Release() {
    if (FOut != nullptr) FClient->CloseOutput(FOut);
    FOut = nullptr;
  }

  TMidiNotify FNotify;
  std::shared_ptr<TJackClient> FClient;
  std::string FDevice;
  TJackOutput* FOut = nullptr;
};

// The input on a JACK server: the port "in" of the program's one client, connected from the source.
class TJackInPort : public TMidiBackendInPort {
public:
  TJackInPort(std::shared_ptr<TJackClient> client, std::string source)
      : FClient(std::move(client)), FSource(std::move(source)) {}
  ~TJackInPort() override { Close(); }
  TJackInPort(const TJackInPort&) = delete;
  TJackInPort& operator=(const TJackInPort&) = delete;

  MMRESULT Open(TMidiReceive receive) {
    const MMRESULT r = FClient->OpenInput(FSource, std::move(receive));
    FOpen = r == MMSYSERR_NOERROR;
    return r;
  }
  bool Alive() override { return !FClient->Gone() && FClient->HasPort(FSource); }
  void Close() override {
    if (FOpen) FClient->CloseInput();
    FOpen = false;
  }

private:
  std::shared_ptr<TJackClient> FClient;
  std::string FSource;
  bool FOpen = false;
};

}  // namespace

MMRESULT OpenJackOutput(std::shared_ptr<TJackClient> client, const std::string& device,
                        TMidiNotify notify, std::unique_ptr<TMidiBackendPort>& port) {
  auto opened = std::make_unique<TJackPort>(std::move(notify), std::move(client), device);
  const MMRESULT r = opened->Open();
  if (r == MMSYSERR_NOERROR) port = std::move(opened);
  return r;
}

MMRESULT OpenJackInput(std::shared_ptr<TJackClient> client, const std::string& source,
                       TMidiReceive receive, std::unique_ptr<TMidiBackendInPort>& port) {
  auto in = std::make_unique<TJackInPort>(std::move(client), source);
  const MMRESULT r = in->Open(std::move(receive));
  if (r == MMSYSERR_NOERROR) port = std::move(in);
  return r;
}
