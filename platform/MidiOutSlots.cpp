#include "MidiOutSlots.h"

#include <array>
#include <atomic>
#include <mutex>

namespace {

// Writers (the notification thread, MIDIOUTRESET) take the slot's lock so that the handle, the
// open flag and the count change together; readers only load the atomics.
struct TSlotState {
  std::mutex Lock;
  HMIDIOUT Handle = 0;
  std::atomic<bool> Open{false};
  std::atomic<std::uint32_t> Pending{0};
};

std::array<TSlotState, kMidiOutSlotCount> Slots;

TSlotState* Slot(std::int64_t slot) {
  if (slot < 0 || slot >= kMidiOutSlotCount) return nullptr;
  return &Slots[static_cast<std::size_t>(slot)];
}

}  // namespace

void MidiOutHandler(HMIDIOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
  // The instance value is the slot number; anything above the range is refused as is.
  TSlotState* s = instance < static_cast<DWORD_PTR>(kMidiOutSlotCount)
                      ? Slot(static_cast<std::int64_t>(instance))
                      : nullptr;
  if (s == nullptr) return;
  std::lock_guard lock(s->Lock);
  switch (message) {
    case MOM_OPEN:
      s->Handle = handle;
      s->Pending.store(0);
      s->Open.store(true);
      break;
    case MOM_CLOSE:
      if (s->Handle != handle) break;
      s->Open.store(false);
      s->Pending.store(0);
      break;
    case MOM_PENDING:
      if (s->Handle == handle && s->Open.load()) s->Pending.fetch_add(1);
      break;
    case MOM_DONE:
      if (s->Handle == handle && s->Pending.load() > 0) s->Pending.fetch_sub(1);
      break;
    default:
      break;
  }
}

bool MIDIOUTISOPEN(std::int32_t slot) {
  const TSlotState* s = Slot(slot);
  return s != nullptr && s->Open.load();
}

bool MIDIOUTISBUSY(std::int32_t slot) {
  const TSlotState* s = Slot(slot);
  return s != nullptr && s->Pending.load() > 0;
}

void MIDIOUTRESET(std::int32_t slot) {
  TSlotState* s = Slot(slot);
  if (s == nullptr) return;
  std::lock_guard lock(s->Lock);
  s->Handle = 0;
  s->Open.store(false);
  s->Pending.store(0);
}
