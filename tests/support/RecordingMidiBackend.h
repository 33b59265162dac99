#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "MidiBackend.h"
#include "TickCount.h"

// Test doubles for the MIDI output service and the tick count (library halvorine_test_support).
//
//   TRecordingMidiService midi({"Synth A", "Synth B"});   // the service now lists these two
//   ... code under test opens device 0 and sends ...
//   EXPECT_EQ(midi->Bytes(), (std::vector<std::uint8_t>{0xB3, 0x14, 0x7F}));
//
// Notifications still travel through the service's notification thread, as with a real device.

struct TRecordedMessage {
  std::string Device;
  std::vector<std::uint8_t> Bytes;
  bool operator==(const TRecordedMessage&) const = default;
};

class TRecordingPort;
class TRecordingInPort;

// A backend that records every message sent, lists the devices it is given, and can be told to
// refuse opens, to keep a device allocated, to hold output pending, or to withhold the open and
// close notifications. Every member may be called from any thread.
class TRecordingMidiBackend : public TMidiBackend {
public:
  explicit TRecordingMidiBackend(std::vector<std::string> devices = {"Recording Out"});
  ~TRecordingMidiBackend() override;

  // The devices listed from the next midiOutGetNumDevs on. A device left out goes away: its open
  // ports send nothing more (MIDIERR_NODEVICE) and report themselves gone; a device of that name
  // listed again later can be opened again.
  void SetDevices(std::vector<std::string> devices);
  // Every open returns `code` (MMSYSERR_NOERROR: accept again) without opening anything.
  void RefuseOpen(MMRESULT code) { Set(FRefusal, code); }
  // While held, opens of the named device return MMSYSERR_ALLOCATED, as if another program had it.
  void HoldDevice(const std::string& name, bool held);
  // false: opens succeed but MOM_OPEN never comes (closes likewise with MOM_CLOSE).
  void SetReportOpen(bool report) { Set(FReportOpen, report); }
  void SetReportClose(bool report) { Set(FReportClose, report); }
  // Posts every open and close notification withheld so far, in the order they were withheld, as
  // a device that reports late would.
  void DeliverWithheld();
  // While held, each message sent is recorded but stays pending (MOM_PENDING), so the slot of the
  // port reads busy until ReleaseOutput.
  void HoldOutput(bool hold) { Set(FHoldOutput, hold); }
  // Every pending message goes out: one MOM_DONE each.
  void ReleaseOutput();

  // A stalled server: while stalled, every call of the service (list, open, send, close, and an
  // input's close) blocks
  // until Stall(false). The readers below then report at once, without waiting for the worker.
  void Stall(bool stalled);
  // Calls blocked in the stall now.
  int BlockedCalls() const { return Get(FBlocked); }

  // A slow wire: each device takes `bytesPerSecond` into a buffer of `bufferBytes` that empties at
  // that rate, and refuses a message with MIDIERR_NOTREADY (recording nothing) when it does not
  // fit. Each accepted message's time on the wire is kept (WireTimes). 0 bytes a second: no wire.
  void SetWire(std::uint32_t bytesPerSecond, std::size_t bufferBytes);
  // For each message of Messages(), when its last byte leaves the wire (the time of the send
  // without a wire).
  std::vector<std::chrono::steady_clock::time_point> WireTimes() const { return Read(FWireTimes); }
  int Refusals() const { return Get(FRefusals); }  // messages refused by a full wire

  std::vector<TRecordedMessage> Messages() const { return Read(FMessages); }
  // Messages(), Bytes() and the counters first wait for the service to hand over what it can now
  // (MidiOutFlushNotifications), unless a stall blocks it.
  // The bytes of every message, in the order sent.
  std::vector<std::uint8_t> Bytes() const;
  void ClearMessages();
  int OpenCalls() const { return Read(FOpenCalls); }  // every Open asked for, refused or not
  int CloseCalls() const { return Read(FCloseCalls); }
  int OpenPorts() const { return static_cast<int>(Read(FPorts).size()); }  // ports open now
  int ListCalls() const { return Read(FListCalls); }                       // device lists read

  // Input: the inputs listed from now on (an open one left out reads as gone), and one message
  // played by the input named `name` if it is open, from the calling thread as a receiving
  // thread would. True when it was open.
  // `closed`: the input whose port closes.
  void SetInputs(std::vector<std::string> inputs, const std::string* closed = nullptr);
  bool Play(const std::string& name, const std::vector<std::uint8_t>& bytes);
  std::vector<std::string> ListInputs() override;
  MMRESULT OpenInput(const std::string& name, TMidiReceive receive,
                     std::unique_ptr<TMidiBackendInPort>& port) override;

  std::vector<std::string> ListDevices() override;
  MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                std::unique_ptr<TMidiBackendPort>& port) override;

private:
  friend class TRecordingPort;
  friend class TRecordingInPort;

  // Blocks while stalled; callers do not hold FLock.
  void WaitWhileStalled();
  void Settle() const;
  // A member read or written under the lock; Read first lets the service hand over (Settle).
  template <typename T>
  T Get(const T& member) const {
    std::lock_guard lock(FLock);
    return member;
  }
  template <typename T>
  T Read(const T& member) const {
    Settle();
    return Get(member);
  }
  template <typename T>
  void Set(T& member, T value) {
    std::lock_guard lock(FLock);
    member = std::move(value);
  }

  mutable std::mutex FLock;
  std::condition_variable FStallEnd;
  bool FStalled = false;
  int FBlocked = 0;
  std::uint32_t FWireRate = 0;
  std::size_t FWireBuffer = 0;
  std::chrono::steady_clock::time_point FWireFree{};
  std::vector<std::chrono::steady_clock::time_point> FWireTimes;
  int FRefusals = 0;
  std::vector<std::string> FDevices;
  std::vector<std::string> FInputs;
  std::vector<std::pair<std::string, TMidiReceive>> FOpenInputs;
  std::set<std::string> FHeldDevices;
  std::set<TRecordingPort*> FPorts;
  std::vector<TRecordedMessage> FMessages;
  std::vector<std::pair<TMidiNotify, UINT>> FWithheld;
  MMRESULT FRefusal = MMSYSERR_NOERROR;
  bool FReportOpen = true;
  bool FReportClose = true;
  bool FHoldOutput = false;
  int FOpenCalls = 0;
  int FCloseCalls = 0;
  int FListCalls = 0;
};

// Puts a TRecordingMidiBackend in place of the service's backend for its lifetime and then puts
// back the backend that was there. Close every handle opened through it before it ends.
class TRecordingMidiService {
public:
  explicit TRecordingMidiService(std::vector<std::string> devices = {"Recording Out"});
  ~TRecordingMidiService();
  TRecordingMidiService(const TRecordingMidiService&) = delete;
  TRecordingMidiService& operator=(const TRecordingMidiService&) = delete;

  TRecordingMidiBackend& Backend() const { return *FBackend; }
  TRecordingMidiBackend* operator->() const { return FBackend.get(); }

private:
  std::shared_ptr<TRecordingMidiBackend> FBackend;
  std::shared_ptr<TMidiBackend> FPrevious;
};

// Puts a manual clock in place of the tick count for its lifetime. Each read returns the current
// value and then advances it by `step` milliseconds, so a polling wait reaches any deadline after a
// bounded number of reads. One at a time.
class TManualTickCount {
public:
  explicit TManualTickCount(std::uint32_t start = 0, std::uint32_t step = 0);
  ~TManualTickCount();
  TManualTickCount(const TManualTickCount&) = delete;
  TManualTickCount& operator=(const TManualTickCount&) = delete;

  void Set(std::uint32_t now);
  void Advance(std::uint32_t ms) { Set(Now() + ms); }
  void SetStep(std::uint32_t step);
  std::uint32_t Now() const;
  std::uint64_t Reads() const;

private:
  TTickSource FPrevious;
};
