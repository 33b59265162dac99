#include "MidiOutService.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "MidiBackend.h"
#include "MidiBytes.h"
#include "MidiOutWorker.h"

// The service's functions. The handle table, the worker and the send queue they hand work to live
// in MidiOutHandles.cpp, MidiOutWorker.cpp and MidiSendQueue.cpp.

using midi_service::THandle;
using midi_service::TWorker;
using midi_service::Worker;

namespace {

constexpr std::array<std::uint8_t, 256> kLengths = [] {
  std::array<std::uint8_t, 256> lengths{};
  for (unsigned status = 0; status < 256; ++status) {
    lengths[status] =
        static_cast<std::uint8_t>(MidiMessageLength(static_cast<std::uint8_t>(status)));
  }
  return lengths;
}();

// The bits of a packed word that must be clear in a message of 1, 2 or 3 bytes: the top bit of
// each data byte it has.
constexpr DWORD kDataTopBits[4] = {0, 0, 0x00008000u, 0x00808000u};

}  // namespace

std::size_t MidiShortMessageLength(std::uint8_t status) { return kLengths[status]; }

UINT midiOutGetNumDevs() {
  TWorker& s = Worker();
  std::unique_lock lock(s.Lock);
  s.ListLocked(lock);
  return static_cast<UINT>(s.Devices().size());
}

MMRESULT MidiOutGetDeviceName(UINT device, std::string& name) {
  TWorker& s = Worker();
  std::unique_lock lock(s.Lock);
  s.EnsureListedLocked(lock);
  if (device >= s.Devices().size()) return MMSYSERR_BADDEVICEID;
  name = s.Devices()[device];
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutGetDevCapsA(UINT device, MIDIOUTCAPSA* caps, UINT size) {
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  TWorker& s = Worker();
  std::string name;
  {
    std::unique_lock lock(s.Lock);
    s.EnsureListedLocked(lock);
    if (device >= s.Devices().size()) return MMSYSERR_BADDEVICEID;
    name = s.Devices()[device];
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
  TWorker& s = Worker();
  std::unique_lock lock(s.Lock);
  s.EnsureListedLocked(lock);
  if (device >= s.Devices().size()) return MMSYSERR_BADDEVICEID;
  const std::string name = s.Devices()[device];
  if (s.Handles.Holds(name)) return MMSYSERR_ALLOCATED;
  std::shared_ptr<TMidiBackend> backend = s.CurrentBackend();
  const std::shared_ptr<THandle> h = s.Handles.Add(name);
  if (!h) return MMSYSERR_NOMEM;
  h->Backend = std::move(backend);
  h->Route->Id = h->Id;
  h->Route->Proc = flags == CALLBACK_FUNCTION ? callback : nullptr;
  h->Route->Instance = instance;
  s.Serve(h);
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
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  THandle* h = s.Handles.Lookup(handle);
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  if (count == 0 || (message & kDataTopBits[count]) != 0) return MMSYSERR_INVALPARAM;
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(message & 0xFF),
                                 static_cast<std::uint8_t>((message >> 8) & 0xFF),
                                 static_cast<std::uint8_t>((message >> 16) & 0xFF)};
  s.Push(*h, bytes, count);
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size) {
  {
    TWorker& s = Worker();
    std::lock_guard lock(s.Lock);
    if (!s.Handles.Find(handle)) return MMSYSERR_INVALHANDLE;
  }
  if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT handle) {
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  const std::shared_ptr<THandle> h = s.Handles.Find(handle);
  if (!h) return MMSYSERR_INVALHANDLE;
  h->Route->UserClosed.store(true);
  s.Handles.Forget(*h);
  s.Post([&s, h] { s.CloseCommand(h); });
  return MMSYSERR_NOERROR;
}

std::shared_ptr<TMidiBackend> MidiOutSetBackend(std::shared_ptr<TMidiBackend> backend) {
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  return s.SetBackend(std::move(backend));
}

void MidiOutFlushNotifications() {
  TWorker& s = Worker();
  {
    std::unique_lock lock(s.Lock);
    s.WaitForPass(lock);
  }
  s.Notifier.Flush();
}

void MidiOutSetDeviceRate(const std::string& deviceName, std::uint32_t bytesPerSecond) {
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  s.SetRate(deviceName, bytesPerSecond);
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
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  const std::shared_ptr<THandle> h = s.Handles.Find(handle);
  return h ? s.StateOf(*h) : TMidiOutState{};
}

void MidiOutListDevicesAsync(std::function<void(std::vector<std::string>)> done) {
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  s.Post(
      [&s, backend = s.CurrentBackend(), done = std::move(done)] { done(s.StoreList(*backend)); });
}

MMRESULT MidiOutSetClock(HMIDIOUT handle, double bpm) {
  const std::optional<std::uint32_t> milliBpm =
      bpm == 0 ? std::optional<std::uint32_t>(0) : MidiClockMilliBpm(bpm);
  if (!milliBpm) return MMSYSERR_INVALPARAM;
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  THandle* h = s.Handles.Lookup(handle);
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  h->Clock->MilliBpm.store(*milliBpm);
  s.Kick();
  return MMSYSERR_NOERROR;
}

TMidiClockPosition MidiOutGetClock(HMIDIOUT handle) {
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  const THandle* h = s.Handles.Lookup(handle);
  if (h == nullptr) return {};
  return {h->Clock->MilliBpm.load() / 1000.0, h->Clock->Running.load(), h->Clock->Ticks.load()};
}

int MidiOutClockWakeFd(HMIDIOUT handle) {
  TWorker& s = Worker();
  std::lock_guard lock(s.Lock);
  const THandle* h = s.Handles.Lookup(handle);
  if (h == nullptr || h->Clock->WakeFd() < 0) return -1;
  return fcntl(h->Clock->WakeFd(), F_DUPFD_CLOEXEC, 0);
}
