#include "MidiOut.h"

#include <unistd.h>

#include <QSocketNotifier>

#include <array>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "MidiBackend.h"
#include "MidiOutSlots.h"
#include "TickCount.h"

namespace {

constexpr std::uint32_t kTicksPerSecond = 1000;

// Between two looks of a wait: the waits poll the slot state, and must not spin a core doing so.
void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// Flag i is 1 while a port holds slot i.
std::array<std::uint8_t, TMidiOut::kPoolSize> MidiOutPool{};
std::mutex MidiOutPoolLock;

static_assert(sizeof(MIDIHDR) <= TMidiOut::kHeaderBlockSize);
static_assert(TMidiOut::kPoolSize <= kMidiOutSlotCount);

}  // namespace

void TDeadline::Start(std::uint32_t seconds) {
  Tick = GetTickCount() + seconds * kTicksPerSecond;
  Expired = false;
}

bool TDeadline::Check() {
  Expired = static_cast<std::int32_t>(GetTickCount() - Tick) > 0;
  return Expired;
}

TMidiOut::TMidiOut(QObject* owner) : QObject(owner) {
  // The blocks come first so that a failed allocation leaves no slot claimed.
  FHeaderBlock = std::make_unique<std::byte[]>(kHeaderBlockSize);
  FHeader = new (FHeaderBlock.get()) MIDIHDR{};
  FBufferBlock = std::make_unique<std::byte[]>(kBufferBlockSize);
  FBuffer = FBufferBlock.get();
  {
    std::lock_guard lock(MidiOutPoolLock);
    for (int i = 0; i < kPoolSize; ++i) {
      if (MidiOutPool[i] == 0) {
        MidiOutPool[i] = 1;
        FPoolIndex = i;
        break;
      }
    }
  }
  if (FPoolIndex < 0) throw EMidiOutError(kMidiOutPoolFull);
  MIDIOUTRESET(FPoolIndex);
}

TMidiOut::~TMidiOut() {
  try {
    Close();
  } catch (...) {
    // A port that is going away cannot report; what is left of the device is released below.
  }
  CloseHandle();
  FBuffer = nullptr;
  FBufferBlock.reset();
  FHeader = nullptr;
  FHeaderBlock.reset();
  MIDIOUTRESET(FPoolIndex);
  std::lock_guard lock(MidiOutPoolLock);
  MidiOutPool[FPoolIndex] = 0;
}

bool TMidiOut::Open() {
  if (IsOpen()) return true;
  if (FDeviceID == -1) {
    FErrorCode = MMSYSERR_BADDEVICEID;
    return false;
  }
  // An earlier open that never reported open still holds the device: give it up first, or the
  // device would stay allocated to a handle this port no longer uses.
  CloseHandle();
  // The 5 s count from before the service's open, which itself waits for a device that is slow to
  // answer, so the whole Open stays within them.
  TDeadline deadline;
  deadline.Start(kOpenWaitSeconds);
  HMIDIOUT handle = 0;
  const MMRESULT r = midiOutOpen(&handle, static_cast<UINT>(FDeviceID), &MidiOutHandler,
                                 static_cast<DWORD_PTR>(FPoolIndex), CALLBACK_FUNCTION);
  if (r != MMSYSERR_NOERROR) {
    FErrorCode = static_cast<std::int32_t>(r);
    return false;
  }
  FHandle = handle;
  WatchClock();
  if (FClockBpm > 0) MidiOutSetClock(FHandle, FClockBpm);
  while (!IsOpen()) {
    if (deadline.Check()) break;
    Pause();
  }
  if (deadline.Expired) {
    FErrorCode = kErrorOpenTimeout;
    return false;
  }
  FClosedDropped = 0;
  return true;
}

void TMidiOut::Close() {
  if (!IsOpen()) return;
  // Messages still on their way to the device are pending output too: the service hands over
  // what it can now and reports what the device holds, so that IsBusy counts them.
  // The wait applies while the device can take messages; for a device that has gone or refuses
  // everything (a stopped or stalled server) nothing can drain, and the close drops what waits.
  MidiOutFlushNotifications();
  std::uint64_t dropped = 0;
  if (IsBusy()) {
    TDeadline deadline;
    deadline.Start(kSendWaitSeconds);
    while (IsBusy()) {
      const TMidiOutState state = State();
      if (state.Link == TMidiLink::mlWaiting || state.Refusing) {
        dropped = state.Queued;
        break;
      }
      if (deadline.Check()) break;
      Pause();
    }
    if (deadline.Expired) throw EMidiOutError(kMidiOutSendTooLong);
  }
  midiOutUnprepareHeader(FHandle, FHeader, static_cast<UINT>(kHeaderBlockSize));
  CloseHandle();
  FClosedDropped = dropped;
  TDeadline deadline;
  deadline.Start(kCloseWaitSeconds);
  while (IsOpen()) {
    if (deadline.Check()) break;
    Pause();
  }
  if (deadline.Expired) throw EMidiOutError(kMidiOutUnableToClose);
}

void TMidiOut::WatchClock() {
  FClockWakeFd = MidiOutClockWakeFd(FHandle);
  if (FClockWakeFd < 0) return;
  FClockWake = new QSocketNotifier(FClockWakeFd, QSocketNotifier::Read, this);
  connect(FClockWake, &QSocketNotifier::activated, this, [this] {
    std::uint64_t count = 0;
    if (read(FClockWakeFd, &count, sizeof count) == sizeof count) emit ClockMoved();
  });
}

void TMidiOut::CloseHandle() {
  if (FHandle == 0) return;
  midiOutClose(FHandle);
  FHandle = 0;
  delete FClockWake;
  FClockWake = nullptr;
  if (FClockWakeFd >= 0) close(FClockWakeFd);
  FClockWakeFd = -1;
}

TMidiOutState TMidiOut::State() const {
  if (FHandle == 0) {
    TMidiOutState closed;
    closed.Dropped = FClosedDropped;
    return closed;
  }
  return MidiOutGetState(FHandle);
}

bool TMidiOut::SetClockTempo(double bpm) {
  if (bpm != 0 && !MidiClockMilliBpm(bpm)) return false;
  FClockBpm = bpm;
  if (FHandle != 0) MidiOutSetClock(FHandle, bpm);
  return true;
}

TMidiClockPosition TMidiOut::ClockPosition() const {
  return FHandle != 0 ? MidiOutGetClock(FHandle) : TMidiClockPosition{};
}

bool TMidiOut::IsOpen() const { return MIDIOUTISOPEN(FPoolIndex); }
bool TMidiOut::IsBusy() const { return MIDIOUTISBUSY(FPoolIndex); }

void TMidiOut::SetChannel(int channel) {
  if (channel < 1) channel = 1;
  if (channel > 16) channel = 16;
  FChannel = static_cast<std::uint8_t>(channel - 1);
}
