#include "SoundMemory.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::uint32_t kSeedMultiplier = 22695477u;
constexpr std::uint64_t kPresetMultiplier = (std::uint64_t{346} << 32) | 20021u;
constexpr double kPercent = 0.01;

int ClampPreset(std::int32_t v) { return std::clamp<std::int32_t>(v, 0, kPresetSide - 1); }

// A weighted term: the integer product scaled by the double nearest 0.01, then rounded to
// single precision. That rounding decides blends that end exactly in one half.
inline double Term(std::int32_t value, std::int32_t weight) {
  return static_cast<double>(
      static_cast<float>(static_cast<double>(std::int64_t{value} * weight) * kPercent));
}

}  // namespace

TSoundMemory::TSoundMemory() { FillSeeds(FSeeds); }

void TSoundMemory::FillSeeds(TSeedTable& seeds) {
  std::uint32_t state = 1;
  for (auto& row : seeds) {
    for (auto& seed : row) {
      state = state * kSeedMultiplier + 1u;
      seed = (state >> 16) & 0x7FFFu;
    }
  }
}

TParameterValues TSoundMemory::GeneratePreset(std::uint32_t seed) {
  TParameterValues values;
  std::uint64_t state = seed;
  for (auto& v : values) {
    state = state * kPresetMultiplier + 1u;
    const auto r = static_cast<std::uint32_t>(state >> 32) & 0x7FFFFFFFu;
    v = static_cast<std::int32_t>(r % 128u);
  }
  return values;
}

std::int32_t TSoundMemory::Blend(std::int32_t a, std::int32_t b, std::int32_t mix,
                                 std::int32_t mixA, std::int32_t mixB) {
  const double s = Term(a, 100 - mix) + Term(b, mix) + Term(a, mixA) + Term(b, mixB) + 0.5;
  return static_cast<std::int32_t>(std::floor(s)) & kMidiValueMask;
}

TSoundRecord& TSoundMemory::Record(int sound) {
  return FRecords[std::clamp(sound, 0, kSoundCount - 1)];
}

const TSoundRecord& TSoundMemory::Record(int sound) const {
  return FRecords[std::clamp(sound, 0, kSoundCount - 1)];
}

bool TSoundMemory::SetSelectedSound(int sound) {
  if (sound < 0 || sound >= kSoundCount) return false;
  FSelectedSound = sound;
  return true;
}

std::uint32_t TSoundMemory::Seed(int x, int y) const {
  return FSeeds[ClampPreset(x)][ClampPreset(y)];
}

void TSoundMemory::StoreA() {
  TSoundRecord& r = Current();
  r.StoredA = r.Values;
  r.UseStoredA = 1;
  r.Mix = 0;
}

void TSoundMemory::StoreB() {
  TSoundRecord& r = Current();
  r.StoredB = r.Values;
  r.UseStoredB = 1;
  r.Mix = 100;
}

void TSoundMemory::Morph() {
  TSoundRecord& r = Current();
  TParameterValues generatedA;
  TParameterValues generatedB;
  const TParameterValues* bankA = &r.StoredA;
  const TParameterValues* bankB = &r.StoredB;
  if (r.UseStoredA == 0) {
    generatedA = GeneratePreset(Seed(r.PresetA1, r.PresetA2));
    bankA = &generatedA;
    ++FPresetsGenerated;
  }
  if (r.UseStoredB == 0) {
    generatedB = GeneratePreset(Seed(r.PresetB1, r.PresetB2));
    bankB = &generatedB;
    ++FPresetsGenerated;
  }
  for (int i = 0; i < kParameterCount; ++i) {
    if (r.MorphEnabled[i] == 1) {
      r.Values[i] = Blend((*bankA)[i], (*bankB)[i], r.Mix, r.MixA, r.MixB);
    }
  }
}
