#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <set>
#include <tuple>

#include "SoundMemory.h"
#include "Transmission.h"

namespace {

constexpr TParameterValues kPreset346 = {36, 98,  21, 67, 5,  11, 46, 37, 82,  58,  39,  34,
                                         23, 120, 21, 33, 14, 57, 28, 92, 103, 127, 115, 31};
constexpr TParameterValues kPreset460 = {56, 52, 4,   18, 4, 51, 120, 64, 60, 118, 1,   16,
                                         44, 72, 121, 18, 5, 53, 94,  52, 28, 105, 101, 86};

// The blend written a second way: terms in extended precision then rounded to single, the sum in
// extended precision, and the wrap as a true modulo. Any rounding slip in Blend shows against it.
int ReferenceBlend(int a, int b, int mix, int mixA, int mixB) {
  const long double p = static_cast<long double>(0.01);
  auto term = [&](long long v, long long w) {
    return static_cast<long double>(static_cast<float>(static_cast<long double>(v * w) * p));
  };
  const long double s = term(a, 100 - mix) + term(b, mix) + term(a, mixA) + term(b, mixB) + 0.5L;
  const long long v = static_cast<long long>(std::floor(s));
  return static_cast<int>(((v % 128) + 128) % 128);
}

}  // namespace

TEST(SeedTable, PublishedEntriesAndThePresetsTheyGive) {
  TSoundMemory m;
  EXPECT_EQ(m.Seed(0, 0), 346u);
  EXPECT_EQ(m.Seed(0, 1), 130u);
  EXPECT_EQ(m.Seed(1, 0), 24168u);
  EXPECT_EQ(m.Seed(127, 127), 460u);
  std::set<std::uint32_t> distinct;
  for (const auto& row : m.Seeds()) {
    for (auto seed : row) {
      ASSERT_LE(seed, 32767u);
      distinct.insert(seed);
    }
  }
  EXPECT_EQ(distinct.size(), 12843u);
  // The presets they give.
  EXPECT_EQ(TSoundMemory::GeneratePreset(346), kPreset346);
  EXPECT_EQ(TSoundMemory::GeneratePreset(460), kPreset460);
  EXPECT_EQ(TSoundMemory::GeneratePreset(12345), TSoundMemory::GeneratePreset(12345));
  EXPECT_NE(TSoundMemory::GeneratePreset(0), TSoundMemory::GeneratePreset(1));
  for (auto v : TSoundMemory::GeneratePreset(32767)) {
    EXPECT_GE(v, 0);
    EXPECT_LE(v, 127);
  }
}

TEST(SoundMemory, SelectionAndPresetIndicesOutsideTheirRanges) {
  TSoundMemory m;
  ASSERT_TRUE(m.SetSelectedSound(15));
  EXPECT_FALSE(m.SetSelectedSound(16));
  EXPECT_FALSE(m.SetSelectedSound(-1));
  EXPECT_EQ(m.SelectedSound(), 15);
  // Preset indices outside the table are clamped.
  auto& r = m.Current();
  r.MorphEnabled.fill(1);
  r.PresetA1 = -5;
  r.PresetA2 = 400;
  m.Morph();
  EXPECT_EQ(r.Values, TSoundMemory::GeneratePreset(m.Seed(0, 127)));
}

TEST(Morph, GeneratesAPresetOnlyForABankThatUsesIt) {
  TSoundMemory m;
  auto& r = m.Current();
  r.MorphEnabled.fill(1);
  m.Morph();
  EXPECT_EQ(m.PresetsGenerated(), 2u);
  r.UseStoredA = 1;
  m.Morph();
  EXPECT_EQ(m.PresetsGenerated(), 3u);
  r.UseStoredA = 0;
  r.UseStoredB = 1;
  r.Mix = 100;
  m.Morph();
  EXPECT_EQ(m.PresetsGenerated(), 4u);
  EXPECT_EQ(r.Values, r.StoredB);
  // Both banks on snapshots: no preset at all, values from the snapshots alone.
  r.UseStoredA = 1;
  r.StoredA.fill(20);
  r.StoredB.fill(60);
  r.Mix = 50;
  m.Morph();
  EXPECT_EQ(m.PresetsGenerated(), 4u);
  for (auto v : r.Values) EXPECT_EQ(v, 40);
}

// Published blends, by Blend and through Morph with both banks on snapshots and every parameter
// ticked: a, b, mix, mixA, mixB and the value.
TEST(Morph, PublishedBlends) {
  const std::array<int, 6> cases[] = {
      {36, 56, 50, 0, 0, 46},        // 18 + 28 + 0.5 = 46.5
      {1, 0, 50, 0, 0, 1},           // a half rounds up
      {1, 6, 30, 0, 0, 2},           // 0.699999988 + 1.79999995: exact gives 3
      {1, 51, 5, 0, 0, 3},           // exact gives 4
      {100, 0, 0, 50, 0, 22},        // 150 wraps to 22
      {127, 127, 0, 100, 100, 125},  //
      {0, 50, 0, 0, -100, 78},       // -50 wraps to 78
      {10, 0, 0, -100, 0, 0},        // -0.5 rounds up to 0
      {3, 0, 50, 0, 0, 2},           // 1.5 rounds up
      {0, 3, 0, 0, -50, 127}};       // -1.5 gives -1, so 127
  for (const auto& [a, b, mix, mixA, mixB, expected] : cases) {
    EXPECT_EQ(TSoundMemory::Blend(a, b, mix, mixA, mixB), expected) << a << " " << b;
    TSoundMemory m;
    TSoundRecord& r = m.Current();
    r.StoredA.fill(a);
    r.StoredB.fill(b);
    r.UseStoredA = r.UseStoredB = 1;
    r.MorphEnabled.fill(1);
    std::tie(r.Mix, r.MixA, r.MixB) = std::tuple(mix, mixA, mixB);
    m.Morph();
    for (const int v : r.Values) EXPECT_EQ(v, expected) << a << " " << b;
  }
}

// Every (a, b) pair against the independent formulation, through Morph itself: 24 pairs a call.
TEST(Morph, SweepAgainstIndependentArithmetic) {
  TSoundMemory m;
  auto& r = m.Current();
  r.UseStoredA = 1;
  r.UseStoredB = 1;
  r.MorphEnabled.fill(1);
  const int mixAs[] = {-100, -73, -50, -1, 0, 1, 33, 50, 100};
  const int mixBs[] = {-100, -49, 0, 7, 50, 99, 100};
  long checked = 0;
  auto sweep = [&](int mix, int mixA, int mixB) {
    r.Mix = mix;
    r.MixA = mixA;
    r.MixB = mixB;
    for (int pair = 0; pair < 128 * 128; pair += kParameterCount) {
      for (int i = 0; i < kParameterCount; ++i) {
        const int p = (pair + i) % (128 * 128);
        r.StoredA[i] = p / 128;
        r.StoredB[i] = p % 128;
      }
      m.Morph();
      for (int i = 0; i < kParameterCount; ++i) {
        const int want = ReferenceBlend(r.StoredA[i], r.StoredB[i], mix, mixA, mixB);
        ASSERT_EQ(r.Values[i], want) << "a=" << r.StoredA[i] << " b=" << r.StoredB[i]
                                     << " mix=" << mix << " mixA=" << mixA << " mixB=" << mixB;
        ++checked;
      }
    }
  };
  for (int mix = 0; mix <= 100; ++mix) sweep(mix, 0, 0);
  for (int mix = 0; mix <= 100; mix += 9) {
    for (int mixA : mixAs) {
      for (int mixB : mixBs) sweep(mix, mixA, mixB);
    }
  }
  EXPECT_GT(checked, 10'000'000);
}

// Every parameter of every sound, from every base channel, comes back from its own address; the
// channels beyond the base's four and the controllers of no parameter address nothing.
TEST(ParameterAt, InvertsTheAddressOfEveryParameterAndNothingElse) {
  for (const int base : {1, 2, 9, 13, 14, 16}) {
    int found = 0;
    for (int channel = 0; channel < 16; ++channel) {
      for (int controller = 0; controller < 128; ++controller) {
        const std::optional<TParameterAt> at = ParameterAt(base, channel, controller);
        if (!at) continue;
        ++found;
        const TControlAddress back = ParameterAddress(base, at->Sound, at->Index);
        EXPECT_EQ((back.Channel & 0x0F), channel) << base << ' ' << controller;
        EXPECT_EQ(back.Controller, controller) << base << ' ' << channel;
      }
    }
    EXPECT_EQ(found, kSoundCount * kParameterCount) << base;
    for (int sound = 0; sound < kSoundCount; ++sound) {
      for (int index = 0; index < kParameterCount; ++index) {
        const TControlAddress to = ParameterAddress(base, sound, index);
        EXPECT_EQ(ParameterAt(base, to.Channel & 0x0F, to.Controller),
                  (TParameterAt{sound, index}));
      }
    }
    const std::pair<int, int> none[] = {{(base + 3) % 16, 16},
                                        {(base + 14) % 16, 20},
                                        {base - 1, 15},
                                        {base - 1, 64},
                                        {base - 1, 120}};
    for (const auto& [channel, controller] : none) {
      EXPECT_FALSE(ParameterAt(base, channel, controller)) << base << ' ' << channel;
    }
  }
}
