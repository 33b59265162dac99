#include "MidiOutHandles.h"

#include <algorithm>

namespace midi_service {

std::shared_ptr<THandle> THandleTable::Add(const std::string& device) {
  const auto entry = std::find(FHandles.begin(), FHandles.end(), nullptr);
  if (entry == FHandles.end()) return nullptr;
  const std::size_t slot = static_cast<std::size_t>(entry - FHandles.begin());
  std::uint32_t generation = FLastGeneration[slot] + 1;
  if ((generation & 0x00FFFFFFu) == 0) generation = 1;  // stays in range on 32-bit handles too
  FLastGeneration[slot] = generation;
  auto h = std::make_shared<THandle>();
  h->Id = (static_cast<HMIDIOUT>(generation) << kIndexBits) | (slot + 1);
  h->Device = device;
  *entry = h;
  return h;
}

std::shared_ptr<THandle> THandleTable::Find(HMIDIOUT handle) const {
  return Lookup(handle) != nullptr ? FHandles[(handle & kIndexMask) - 1] : nullptr;
}

THandle* THandleTable::Lookup(HMIDIOUT handle) const {
  const std::size_t slot = static_cast<std::size_t>(handle & kIndexMask);
  const auto generation = static_cast<std::uint32_t>(handle >> kIndexBits);
  if (slot == 0 || slot > kMaxHandles || generation == 0) return nullptr;
  THandle* h = FHandles[slot - 1].get();
  return h != nullptr && h->Id == handle ? h : nullptr;
}

void THandleTable::Forget(const THandle& h) {
  std::shared_ptr<THandle>& entry = FHandles[static_cast<std::size_t>(h.Id & kIndexMask) - 1];
  if (entry && entry->Id == h.Id) entry.reset();
}

bool THandleTable::Holds(const std::string& device) const {
  return std::any_of(FHandles.begin(), FHandles.end(),
                     [&](const std::shared_ptr<THandle>& h) { return h && h->Device == device; });
}

}  // namespace midi_service
