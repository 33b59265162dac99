#pragma once

#include <QObject>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "MidiBytes.h"
#include "MidiClock.h"
#include "MidiOutService.h"

// The texts of the errors that a port raises.
inline constexpr const char* kMidiOutPoolFull = "error: Midiout pool full";
inline constexpr const char* kMidiOutSendTooLong = "error: Midiout takes too long to send data";
inline constexpr const char* kMidiOutUnableToClose = "error: Unable to close Midiout";

// Raised by the construction of a port and by Close; what() is one of the three texts above.
class QSocketNotifier;

class EMidiOutError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A wait of the port: expires once the tick count has passed the deadline. The comparison is by
// difference, so a wait that spans the tick count's wrap-around ends on time.
struct TDeadline {
  std::uint32_t Tick = 0;
  bool Expired = false;

  void Start(std::uint32_t seconds);
  // Sets and returns Expired: whether the tick count is now past Tick.
  bool Check();
};

// The MIDI output port: opens one device of the MIDI output service and sends short messages on
// it. Whether the device is open or still has output pending is what the slot-state library says
// for the port's slot; the port keeps no such flag. At most 16 ports exist at once; each holds one
// slot from construction to destruction, always the lowest free one.
//
// Open and Close wait by polling (a look each millisecond), blocking the calling thread: up to 5 s
// on Open, 20 s + 5 s on Close, whatever the MIDI server does. A port is used from one thread.
// Sends are queued by the service and go out in order; IsBusy reads true while a backlog waits (a
// slow wire, or a device that went away and is waited for).
class TMidiOut : public QObject {
  Q_OBJECT
  Q_PROPERTY(int DeviceID READ DeviceID WRITE SetDeviceID)
  Q_PROPERTY(int ErrorCode READ ErrorCode)
  Q_PROPERTY(int Channel READ GetChannel WRITE SetChannel)

public:
  // Claims the lowest free slot; throws EMidiOutError(kMidiOutPoolFull) when all 16 are held.
  explicit TMidiOut(QObject* owner = nullptr);
  // Closes the device and releases the slot. Never throws: a close that fails here is given up,
  // and the device handle is closed without waiting.
  ~TMidiOut() override;

  // Opens device DeviceID unless the port is open already (then true at once, whatever DeviceID
  // holds). False with the reason in ErrorCode: 2 for DeviceID -1, the service's code when it
  // refuses, 2000 when the device did not report open within 5 seconds.
  bool Open();
  // Closes the device if it is open. Throws EMidiOutError(kMidiOutSendTooLong) when output is
  // still pending after 20 s (the device stays open), EMidiOutError(kMidiOutUnableToClose) when
  // the device still reports open 5 s after the close. The 20 s apply while the device can take
  // messages: for a device that has gone, or refuses everything, the close goes ahead at once and
  // what waited is dropped (counted in State().Dropped until the next open).
  void Close();

  // The send operations hand one message to the service at once and return its result code; on a
  // port that is not open the service refuses the handle and nothing is sent. Channels are 0..15
  // and data 0..127; higher bits are dropped so that no argument can form another status byte.
  MMRESULT SendControlChange(std::uint8_t channel, std::uint8_t controller, std::uint8_t value) {
    return Send(kControlChange | (channel & kChannelMask), controller & kDataMask,
                value & kDataMask);
  }
  MMRESULT SendNoteOn(std::uint8_t channel, std::uint8_t key, std::uint8_t velocity) {
    return Send(kNoteOn | (channel & kChannelMask), key & kDataMask, velocity & kDataMask);
  }
  // A note-on with velocity 0.
  MMRESULT SendNoteOff(std::uint8_t channel, std::uint8_t key) {
    return Send(kNoteOn | (channel & kChannelMask), key & kDataMask, 0);
  }
  MMRESULT SendStart() { return Send(kStart, 0, 0); }
  // A complete short message as received, passed on unchanged (thru).
  MMRESULT SendMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    return Send(status, data1, data2);
  }
  MMRESULT SendContinue() { return Send(kContinue, 0, 0); }
  MMRESULT SendStop() { return Send(kStop, 0, 0); }

  // The MIDI clock of the port, in beats a minute (20 to 300), 0 for none: kept across closes and
  // opens and applied to every open. With a clock, SendStart and SendContinue are followed by
  // clock ticks that the service times, until SendStop. False, changing nothing, for a tempo out
  // of range.
  bool SetClockTempo(double bpm);
  double ClockTempo() const { return FClockBpm; }
  // Whether ticks are going out now, and how many since the last Start.
  TMidiClockPosition ClockPosition() const;

  bool IsOpen() const;
  bool IsBusy() const;
  // What the service's handle of the port is doing: device, link, queue. Closed when the port has
  // no handle, with the messages the last close dropped.
  TMidiOutState State() const;

  // The device number the next Open uses, in the service's numbering; -1 for none.
  int DeviceID() const { return FDeviceID; }
  void SetDeviceID(int deviceID) { FDeviceID = deviceID; }
  int ErrorCode() const { return FErrorCode; }
  // A channel setting 1..16 kept for the port's user; the sends take their own channel.
  int GetChannel() const { return FChannel + 1; }
  int Channel() const { return GetChannel(); }
  // Clamps to 1..16.
  void SetChannel(int channel);

  // The slot the port holds, 0..15.
  int PoolIndex() const { return FPoolIndex; }

  static constexpr int kPoolSize = 16;
  static constexpr int kErrorOpenTimeout = 2000;
  static constexpr std::uint32_t kOpenWaitSeconds = 5;
  static constexpr std::uint32_t kSendWaitSeconds = 20;
  static constexpr std::uint32_t kCloseWaitSeconds = 5;
  static constexpr std::size_t kHeaderBlockSize = 64;
  static constexpr std::size_t kBufferBlockSize = 32768;

signals:
  // Raised on the port's thread when clock ticks have gone out, or the ticks have started or
  // ended: at most once for each tick, and once for any number of them that went out before the
  // thread ran again.
  void ClockMoved();

private:
  static constexpr std::uint8_t kNoteOn = kMidiNoteOn;
  static constexpr std::uint8_t kControlChange = kMidiControlChange;
  static constexpr std::uint8_t kStart = kMidiStart;
  static constexpr std::uint8_t kContinue = kMidiContinue;
  static constexpr std::uint8_t kStop = kMidiStop;
  static constexpr std::uint8_t kChannelMask = 0x0F;
  static constexpr std::uint8_t kDataMask = 0x7F;

  // Follows the clock of the handle just opened, until CloseHandle.
  void WatchClock();
  void CloseHandle();

  // One message as the service's 32-bit word: status in bits 0-7, data in 8-15 and 16-23.
  MMRESULT Send(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    return midiOutShortMsg(FHandle, static_cast<DWORD>(status) | (static_cast<DWORD>(data1) << 8) |
                                        (static_cast<DWORD>(data2) << 16));
  }

  std::int32_t FPoolIndex = -1;
  std::int32_t FDeviceID = 0;
  // The service's handle, from a successful midiOutOpen until midiOutClose is issued for it; 0
  // otherwise. Whether the device is open is not this: IsOpen asks the slot state.
  HMIDIOUT FHandle = 0;
  std::unique_ptr<std::byte[]> FHeaderBlock;
  MIDIHDR* FHeader = nullptr;
  std::unique_ptr<std::byte[]> FBufferBlock;
  std::byte* FBuffer = nullptr;
  std::int32_t FErrorCode = 0;
  std::uint8_t FChannel = 0;
  std::uint64_t FClosedDropped = 0;  // messages the last close dropped
  double FClockBpm = 0;
  QSocketNotifier* FClockWake = nullptr;  // on the handle's clock wake, while the handle is live
  int FClockWakeFd = -1;
};
