// Until the main window lands, the program shows what the sound memory holds at start-up.
#include <cstdio>

#include "SoundMemory.h"

int main() {
  static TSoundMemory memory;
  const TSoundRecord& r = memory.Current();
  const auto bankA = TSoundMemory::GeneratePreset(memory.Seed(r.PresetA1, r.PresetA2));
  const auto bankB = TSoundMemory::GeneratePreset(memory.Seed(r.PresetB1, r.PresetB2));
  std::printf("Halvorine v0.2\nBD bank A, preset (%d, %d):", r.PresetA1, r.PresetA2);
  for (auto v : bankA) std::printf(" %d", v);
  std::printf("\nBD bank B, preset (%d, %d):", r.PresetB1, r.PresetB2);
  for (auto v : bankB) std::printf(" %d", v);
  std::printf("\n");
  return 0;
}
