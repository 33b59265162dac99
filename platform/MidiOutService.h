#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The MIDI output service: output devices numbered 0 to n-1, opened with a callback, sent short
// messages as 32-bit words, closed. Results are numbered as the multimedia API of the desktop
// systems numbers them, so that callers can keep and compare the codes they know.
//
// Devices are the output ports of every MIDI API available on this machine (the ALSA sequencer,
// then JACK), named by their port names. An API that is not available contributes no devices.
// No function here throws, prints or starts a server.
//
// Notifications (MOM_OPEN, MOM_CLOSE, MOM_DONE and this service's MOM_PENDING) reach the callback
// from the service's own notification thread, in the order the service posted them, never from
// the caller's thread. A callback must return quickly and must not call back into the service.

using UINT = unsigned int;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using MMRESULT = UINT;
using MMVERSION = UINT;
using HMIDIOUT = std::uintptr_t;  // 0 is never a valid handle

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;        // the device failed for a reason of its own
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;  // no device with that number
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;    // the device is already open
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;  // not a handle that is open now
constexpr MMRESULT MMSYSERR_NOMEM = 7;        // no room for another open handle
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;   // an open flag this service does not know
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;  // a null pointer, a short size or a malformed word
constexpr MMRESULT MIDIERR_NOTREADY = 67;     // the device cannot take output now; nothing sent
constexpr MMRESULT MIDIERR_NODEVICE = 68;     // the device has gone away; nothing sent

constexpr UINT MIDI_MAPPER = 0xFFFFFFFFu;  // not offered by this service: MMSYSERR_BADDEVICEID

constexpr DWORD CALLBACK_NULL = 0x00000;
constexpr DWORD CALLBACK_FUNCTION = 0x30000;

constexpr UINT MOM_OPEN = 0x3C7;     // the device is open
constexpr UINT MOM_CLOSE = 0x3C8;    // the device is closed; no further output
constexpr UINT MOM_DONE = 0x3C9;     // one piece of output the device held has gone out
constexpr UINT MOM_PENDING = 0x4C9;  // the device holds one piece of output not gone out yet

constexpr WORD MOD_MIDIPORT = 1;
constexpr std::size_t MAXPNAMELEN = 32;

struct MIDIOUTCAPSA {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  char szPname[MAXPNAMELEN];  // the device's name, at most 31 bytes, always terminated
  WORD wTechnology;
  WORD wVoices;
  WORD wNotes;
  WORD wChannelMask;
  DWORD dwSupport;
};

// Long-message header. This service sends no long messages; the header exists so that callers can
// hand one to midiOutUnprepareHeader, which accepts any header that was never prepared.
struct MIDIHDR {
  char* lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  MIDIHDR* lpNext;
  DWORD_PTR reserved;
  DWORD dwOffset;
};
constexpr DWORD MHDR_PREPARED = 0x2;

// The callback given to midiOutOpen: handle, message (MOM_*), the instance value given to the
// open, and two message parameters (0 for every message of this service).
using TMidiOutProc = void (*)(HMIDIOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2);

// Reads the device list afresh and returns its length. Device numbers given to the other functions
// refer to the list of the last call (or to a list read on first use).
UINT midiOutGetNumDevs();

// Fills the first `size` bytes of `caps` for device `device`.
MMRESULT midiOutGetDevCapsA(UINT device, MIDIOUTCAPSA* caps, UINT size);

// The full name of device `device` of the list, which the capability record's szPname cuts to 31
// bytes: the name the device list shows and the status line, --device and reconnection use.
// MMSYSERR_BADDEVICEID when there is no such device.
MMRESULT MidiOutGetDeviceName(UINT device, std::string& name);

// Opens device `device`. On MMSYSERR_NOERROR *handle holds the new handle and the callback (when
// `flags` is CALLBACK_FUNCTION) will get MOM_OPEN once the device is open; on any other result
// *handle is left as it was. A device can be open through one handle at a time. When the device
// has not answered within kMidiOutAnswerWaitMs (a stalled server), the handle is returned anyway
// and MOM_OPEN comes if and when the open succeeds.
MMRESULT midiOutOpen(HMIDIOUT* handle, UINT device, TMidiOutProc callback, DWORD_PTR instance,
                     DWORD flags);

// Sends the short message packed in `message`: status byte in bits 0-7, data bytes in bits 8-15
// and 16-23, as many data bytes as the status calls for; the rest of the word is ignored. A word
// without a status byte, with a data byte of 128 or more, or with a system-exclusive status is
// refused with MMSYSERR_INVALPARAM. The message is queued for the worker (see below) and
// MMSYSERR_NOERROR returned; MMSYSERR_INVALHANDLE for a handle that is not open.
MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD message);

// Releases a header prepared for long messages; a header never prepared is accepted as it is.
MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, UINT size);

// Closes the handle; the callback gets MOM_CLOSE once the device is closed. The handle is invalid
// from the moment this returns. What the queue holds and can go out at once is sent first; what
// waits for a device that has gone or refuses everything is dropped.
MMRESULT midiOutClose(HMIDIOUT handle);

// How many bytes a short message with this status byte has, status included: 1 to 3, or 0 when the
// status cannot start a short message (a data byte, or system exclusive).
std::size_t MidiShortMessageLength(std::uint8_t status);

// ---- Paced output, device lifecycle and state ----
//
// Every call into the MIDI APIs (listing, open, send, close) runs on the service's own worker
// thread. midiOutShortMsg only queues the message for its handle; the worker hands queued
// messages to the device in order, as fast as the device's rate allows. A caller never waits on
// the worker longer than kMidiOutAnswerWaitMs (midiOutOpen, midiOutGetNumDevs); midiOutClose
// does not wait at all.
//
// While the queue cannot drain at once (the device is paced, refused output, has gone, or has been
// taking a batch for over a millisecond), a control change whose channel and controller already
// wait in the queue, not yet handed to the device, replaces that waiting message's value in place:
// the latest value wins and the order of first arrival is kept. Every other message waits
// unmerged and in order; Start, Stop and Continue that cannot go out within a second of the send
// are dropped and counted. A backlog is reported to the callback as one MOM_PENDING when it forms
// and one MOM_DONE when it has gone out, so a slot reads busy while the queue holds output.
//
// When an open device goes away, the handle stays open: the queue keeps at most one control change
// per channel and controller, plus kMidiOutQueueOtherLimit other messages (beyond that the oldest
// of those are dropped and counted), and the worker reopens a device of the same name as soon as
// it is listed again, then sends what waited. A close drops what waits for a device that has gone
// or refuses everything, and closes at once.

// A rate of 0 bytes a second: no pacing (JACK ports, ALSA software ports).
constexpr std::uint32_t kMidiRateUnlimited = 0;
// A MIDI wire at 31,250 baud, ten bits a byte: the default for ALSA hardware ports.
constexpr std::uint32_t kMidiDinRate = 3125;
constexpr std::size_t kMidiOutQueueOtherLimit = 1024;
constexpr std::uint32_t kMidiOutAnswerWaitMs = 4000;

// Sets the output rate of the device named `deviceName` for every later open and for a handle
// open on it now; kMidiRateUnlimited sends without pacing. Overrides the backend's default.
void MidiOutSetDeviceRate(const std::string& deviceName, std::uint32_t bytesPerSecond);

// Parses an option value "NAME=BYTES_PER_SECOND" (the name may itself hold '='; the rate is after
// the last one; "unlimited" stands for kMidiRateUnlimited). Nothing for a malformed value.
std::optional<std::pair<std::string, std::uint32_t>> ParseMidiRateOption(std::string_view value);

enum class TMidiLink {
  mlClosed,   // no such handle, or closed
  mlOpening,  // the open has not finished
  mlOpen,     // the device is connected
  mlWaiting,  // the device went away; waiting for a device of that name to return
};

struct TMidiOutState {
  TMidiLink Link = TMidiLink::mlClosed;
  std::string Device;
  std::size_t Queued = 0;     // messages waiting in the queue
  std::uint64_t Dropped = 0;  // messages dropped over the queue's limit since the open
  // Start, Stop and Continue dropped because they could not go out within a second of the send.
  std::uint64_t TransportDropped = 0;
  std::uint32_t Rate = kMidiRateUnlimited;
  // The device is connected but has refused every message for a while (a stalled server): what
  // waits cannot drain, and a close drops it.
  bool Refusing = false;
  double ClockBpm = 0;        // the clock's tempo; 0: no clock
  bool ClockRunning = false;  // ticks are going out (between a Start or Continue and a Stop)
};

// What the handle is doing now; mlClosed for a handle that is not open.
TMidiOutState MidiOutGetState(HMIDIOUT handle);

// Reads the device list on the worker and gives it to `done`, called on the worker thread (post
// to your own thread from there). The list then becomes the numbering of the other functions.
void MidiOutListDevicesAsync(std::function<void(std::vector<std::string>)> done);

// ---- MIDI clock ----
//
// With a clock set, a Start or Continue sent on the handle is followed by clock ticks (0xF8), 24 a
// quarter note, the first one a tick after it, until a Stop. The service times the ticks, never the
// caller: a JACK port writes each at its own frame of the server's cycle, other devices get them
// from the worker on a high-resolution timer. Ticks go out beside the queue, not behind a backlog
// in it; a tick the device refuses is skipped, not sent late, but on JACK one that a cycle's
// buffer does not take goes out at the next cycle's first frame, as after a stall. A new tempo
// takes effect from the next tick; on JACK, so does a new sample rate of the server. The clock
// stays with the handle when its device goes away and returns.

// Sets the clock of the handle to `bpm` beats a minute (20 to 300, to a thousandth), or turns it
// off with 0 (running ticks stop; no Stop is sent). A tempo set while the handle is started (a
// Start or Continue sent and no Stop since) without ticks starts them a period later.
// MMSYSERR_INVALPARAM for another tempo.
MMRESULT MidiOutSetClock(HMIDIOUT handle, double bpm);

struct TMidiClockPosition {
  double Bpm = 0;  // 0: no clock
  bool Running = false;
  std::uint64_t Ticks = 0;  // ticks sent since the last Start; a Continue counts on
};

// Where the handle's clock is; a closed handle has none.
TMidiClockPosition MidiOutGetClock(HMIDIOUT handle);

// A file descriptor of the caller's own (close it when done) that becomes readable when the
// handle's clock has sent ticks, or its ticks have started or ended: poll it, read its 8 bytes,
// then read the clock with MidiOutGetClock. However many ticks went out meanwhile, it is readable
// once; it is written at most once for each tick, from the thread that times them (real-time on
// JACK). It stays valid after the handle is closed. -1 for a handle that is not open, or when the
// system has no descriptor to spare.
int MidiOutClockWakeFd(HMIDIOUT handle);
