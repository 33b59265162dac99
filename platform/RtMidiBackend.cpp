#include "RtMidiBackend.h"

#include <poll.h>

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <RtMidi.h>

#include "AlsaInputRoom.h"
#include "JackClient.h"

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

constexpr const char* kClientName = "Halvorine";
constexpr const char* kPortName = "out";
constexpr const char* kInPortName = "in";
constexpr const char* kSequencerDevice = "/dev/snd/seq";

void QuietRtMidi(RtMidiError::Type, const std::string&, void*) {}

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

struct TDevice {
  RtMidi::Api Api;
  std::string Name;
};

// Questions to the ALSA sequencer about its ports, through a client of its own that sends nothing
// and hears the sequencer's announcements (System:Announce) of clients and ports that come, go or
// change, on a port that no other client sees.
class TAlsaQuery {
public:
  TAlsaQuery() {
    if (snd_seq_open(&FSeq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
      FSeq = nullptr;
      return;
    }
    snd_seq_set_client_name(FSeq, kClientName);
    const int port = snd_seq_create_simple_port(FSeq, "announcements",
                                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                SND_SEQ_PORT_TYPE_APPLICATION);
    FHearsAnnouncements = port >= 0 && snd_seq_connect_from(FSeq, port, SND_SEQ_CLIENT_SYSTEM,
                                                            SND_SEQ_PORT_SYSTEM_ANNOUNCE) >= 0;
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

  // How many announcements have come so far, read without waiting; nothing when the client cannot
  // hear them. An announcement lost to a full queue counts as one.
  std::optional<std::uint64_t> Announcements() {
    if (!FHearsAnnouncements) return std::nullopt;
    while (snd_seq_event_input_pending(FSeq, 1) > 0) {
      snd_seq_event_t* event = nullptr;
      const int r = snd_seq_event_input(FSeq, &event);
      if (r == -EAGAIN) break;
      ++FAnnouncements;
      if (r < 0 && r != -ENOSPC) break;
    }
    return FAnnouncements;
  }

private:
  snd_seq_t* FSeq = nullptr;
  bool FHearsAnnouncements = false;
  std::uint64_t FAnnouncements = 0;
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

// An open input on the ALSA sequencer, through RtMidi's ALSA input, which calls OnMessage on its
// own reader thread; OnMessage only hands the bytes on.
class TRtInPort : public TMidiBackendInPort {
public:
  TRtInPort(std::string device, TMidiReceive receive, std::shared_ptr<TAlsaQuery> alsa)
      : FDevice(std::move(device)), FReceive(std::move(receive)), FAlsa(std::move(alsa)) {}
  ~TRtInPort() override { Close(); }

  MMRESULT Open() {
    try {
      FIn = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, kClientName);
      FIn->setErrorCallback(&QuietRtMidi, nullptr);
      const unsigned count = FIn->getPortCount();
      unsigned number = 0;
      while (number < count && FIn->getPortName(number) != FDevice) ++number;
      if (number == count) return MIDIERR_NODEVICE;
      // Every byte is handed on as it came; the service's parser makes messages of them.
      FIn->ignoreTypes(false, false, false);
      FIn->setCallback(&TRtInPort::OnMessage, this);
      FIn->openPort(number, kInPortName);
      return FIn->isPortOpen() ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    } catch (...) {
      return MMSYSERR_ERROR;
    }
  }

  bool Alive() override { return FAlsa->PortType(FDevice).has_value(); }

  void Close() override {
    if (!FIn) return;
    FIn->closePort();
    FIn.reset();
  }

private:
  static void OnMessage(double, std::vector<unsigned char>* message, void* arg) {
    if (message == nullptr || message->empty()) return;
    static_cast<TRtInPort*>(arg)->FReceive(message->data(), message->size());
  }

  std::string FDevice;
  TMidiReceive FReceive;
  std::shared_ptr<TAlsaQuery> FAlsa;
  std::unique_ptr<RtMidiIn> FIn;
};

// What a device list was read under: the servers' announcements so far. Lists read under the same
// announcements are the same, and are not read again (opening a client of RtMidi's for each look)
// but every kRelistInterval, in case an announcement went unheard.
struct TListKey {
  std::optional<std::uint64_t> Alsa;  // nothing: the sequencer's announcements are not heard
  const TJackClient* Jack = nullptr;  // the client that hears the JACK server's, if any
  std::uint32_t JackChanges = 0;
  bool Known() const { return Alsa.has_value(); }
  bool operator==(const TListKey&) const = default;
};
constexpr auto kRelistInterval = std::chrono::seconds(5);

class TRtMidiBackend : public TMidiBackend {
public:
  std::vector<std::string> ListInputs() override {
    if (Unchanged(FInputsRead)) return Names(FInputs);
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
    std::shared_ptr<TJackClient> client = Client();
    if (client && client->Cycling()) {
      for (std::string& name : client->MidiSources()) {
        FInputs.push_back({RtMidi::UNIX_JACK, std::move(name)});
      }
    }
    return Names(FInputs);
  }

  MMRESULT OpenInput(const std::string& name, TMidiReceive receive,
                     std::unique_ptr<TMidiBackendInPort>& port) override {
    const auto device = std::find_if(FInputs.begin(), FInputs.end(),
                                     [&](const TDevice& d) { return d.Name == name; });
    if (device == FInputs.end()) return MMSYSERR_BADDEVICEID;
    if (device->Api == RtMidi::LINUX_ALSA) {
      auto in = std::make_unique<TRtInPort>(name, std::move(receive), Alsa());
      const MMRESULT r = in->Open();
      if (r == MMSYSERR_NOERROR) port = std::move(in);
      return r;
    }
    std::shared_ptr<TJackClient> client = ClientForPort();
    if (!client) return MIDIERR_NODEVICE;
    if (!client->Cycling()) return MIDIERR_NOTREADY;
    auto in = std::make_unique<TJackInPort>(client, name);
    const MMRESULT r = in->Open(std::move(receive));
    if (r != MMSYSERR_NOERROR) return r;
    port = std::move(in);
    return MMSYSERR_NOERROR;
  }

  std::vector<std::string> ListDevices() override {
    if (Unchanged(FDevicesRead)) return Names(FDevices);
    FDevices.clear();
    if (Compiled(RtMidi::LINUX_ALSA) && AlsaAvailable()) AppendAlsa();
    AppendJack();
    return Names(FDevices);
  }

  MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                std::unique_ptr<TMidiBackendPort>& port) override {
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
    std::shared_ptr<TJackClient> client = ClientForPort();
    if (!client) return MIDIERR_NODEVICE;
    // A stalled server would hold the port's registration until it resumes.
    if (!client->Cycling()) return MIDIERR_NOTREADY;
    auto opened = std::make_unique<TJackPort>(std::move(notify), std::move(client), name);
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

  // Ports closed while the server stalled are released once it answers again; a client left with
  // no port is closed, so that the program shows no client it does not use.
  void Maintain() override {
    if (FClient) FClient->ReleaseClosed();
  }

private:
  struct TRead {
    std::optional<TListKey> Key;
    std::chrono::steady_clock::time_point At{};
  };

  // Whether the list read last under `read` still stands: nothing was announced since, and it is
  // not older than kRelistInterval. Otherwise `read` takes the announcements as they are now,
  // before the list is read again, so that what is announced meanwhile makes the next look read it
  // again.
  bool Unchanged(TRead& read) {
    TListKey key;
    if (AlsaAvailable())
      key.Alsa = Alsa()->Announcements();
    else
      key.Alsa = 0;  // no sequencer: nothing to list there
    if (std::shared_ptr<TJackClient> client = Client()) {
      key.Jack = client.get();
      key.JackChanges = client->GraphChanges();
    }
    const auto now = std::chrono::steady_clock::now();
    if (key.Known() && read.Key == key && now - read.At < kRelistInterval) return true;
    read.Key = key;
    read.At = now;
    return false;
  }

  static std::vector<std::string> Names(const std::vector<TDevice>& devices) {
    std::vector<std::string> names;
    for (const TDevice& d : devices) names.push_back(d.Name);
    return names;
  }

  void AppendAlsa() {
    std::unique_ptr<RtMidiOut> out = MakeOut(RtMidi::LINUX_ALSA, &QuietRtMidi, nullptr);
    if (!out) return;
    const unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
      std::string name = out->getPortName(i);
      if (!name.empty()) FDevices.push_back({RtMidi::LINUX_ALSA, std::move(name)});
    }
  }

  // The client lists the server's inputs itself. While the server stalls, the inputs listed last
  // stand.
  void AppendJack() {
    std::shared_ptr<TJackClient> client = Client();
    if (!client) {
      FJackInputs.clear();
      return;
    }
    if (client->Cycling()) FJackInputs = client->MidiInputs();
    for (const std::string& name : FJackInputs) FDevices.push_back({RtMidi::UNIX_JACK, name});
  }

  // The client on the JACK server now running, shared by the ports open on it; nullptr when no
  // server answers. A client whose server has gone is kept as it is.
  std::shared_ptr<TJackClient> Client() {
    if (FClient && FClient->Gone()) KeepJackClientForever(std::move(FClient));
    if (!FClient) FClient = TJackClient::Connect();
    return FClient;
  }

  // The client a new port registers on: a client with no port is opened afresh. While a process
  // has a JACK client open, the JACK library keeps one table of the server's clients for the whole
  // process, and an entry can go stale: a client that leaves the server while one of ours is being
  // opened stays in the table, and the client that takes its place later never hears from this
  // process. With no client of the process left in between, the library starts afresh, so that
  // closing and opening the port again cures it. The client is not changed while a device is away:
  // a new one opened just as the device's client leaves would meet that very race.
  std::shared_ptr<TJackClient> ClientForPort() {
    std::shared_ptr<TJackClient> client = Client();
    // A stalled server is asked nothing; one that answers again releases what waited for it.
    if (!client || client->Gone() || !client->Cycling() || !client->ReleaseClosed()) return client;
    if (client->Idle() && client.use_count() == 2) {
      client.reset();
      FClient.reset();
      return Client();
    }
    return client;
  }

  std::shared_ptr<TAlsaQuery> Alsa() {
    if (!FAlsa) FAlsa = std::make_shared<TAlsaQuery>();
    return FAlsa;
  }

  std::vector<TDevice> FDevices;
  std::vector<TDevice> FInputs;
  TRead FDevicesRead;
  TRead FInputsRead;
  std::vector<std::string> FJackInputs;
  std::shared_ptr<TJackClient> FClient;
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
