#include "AlsaSequencer.h"

#include <poll.h>
#include <unistd.h>

#include <alsa/asoundlib.h>

#include <RtMidi.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "AlsaInputRoom.h"
#include "MidiBytes.h"
#include "MidiPortNames.h"

namespace {

constexpr const char* kClientName = "Halvorine";
constexpr const char* kPortName = "out";
constexpr const char* kInPortName = "in";
constexpr const char* kSequencerDevice = "/dev/snd/seq";

void QuietRtMidi(RtMidiError::Type, const std::string&, void*) {}

}  // namespace

bool AlsaAvailable() { return access(kSequencerDevice, R_OK | W_OK) == 0; }

struct TAlsaQuery::TImpl {
  TImpl() {
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
  ~TImpl() {
    if (FSeq != nullptr) snd_seq_close(FSeq);
  }

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

  snd_seq_t* FSeq = nullptr;
  bool FHearsAnnouncements = false;
  std::uint64_t FAnnouncements = 0;
};

TAlsaQuery::TAlsaQuery() : FImpl(std::make_unique<TImpl>()) {}
TAlsaQuery::~TAlsaQuery() = default;
std::optional<unsigned> TAlsaQuery::PortType(const std::string& name) {
  return FImpl->PortType(name);
}
std::optional<std::string> TAlsaQuery::NameAt(const std::string& name) {
  return FImpl->NameAt(name);
}
std::optional<std::uint64_t> TAlsaQuery::Announcements() { return FImpl->Announcements(); }

namespace {

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
    if (FQueue < 0 && !StartQueue()) return Send(&kMidiClockTick, 1);
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

}  // namespace

MMRESULT OpenAlsaOutput(TMidiNotify notify, std::shared_ptr<TAlsaQuery> query,
                        const std::string& device, std::unique_ptr<TMidiBackendPort>& port) {
  auto alsa = std::make_unique<TAlsaPort>(std::move(notify), std::move(query), device);
  const MMRESULT r = alsa->Open();
  if (r == MMSYSERR_NOERROR) port = std::move(alsa);
  return r;
}

MMRESULT OpenAlsaInput(const std::string& device, TMidiReceive receive,
                       std::shared_ptr<TAlsaQuery> query,
                       std::unique_ptr<TMidiBackendInPort>& port) {
  auto in = std::make_unique<TRtInPort>(device, std::move(receive), std::move(query));
  const MMRESULT r = in->Open();
  if (r == MMSYSERR_NOERROR) port = std::move(in);
  return r;
}
