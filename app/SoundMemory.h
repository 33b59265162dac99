#pragma once

#include <array>
#include <cstdint>

// The panel's memory of the instrument's sixteen sounds: per sound the current parameter values,
// which parameters follow the morph, the two bank snapshots, each bank's source and the positions
// of the seven preset and mix knobs; plus the table of preset seeds and the selected sound.
// A run starts from the initial state; sound-set files (SoundSetFile.h) save and restore it.

constexpr int kSoundCount = 16;
constexpr int kParameterCount = 24;

// The sounds' names by sound index, as their selector boxes and sound-set files name them.
inline constexpr std::array<const char*, kSoundCount> kSoundNames = {
    "BD", "SD", "HT", "MT", "LT", "CP", "RS", "CB", "CH", "OH", "RC", "CC", "M1", "M2", "M3", "M4"};
constexpr int kPresetSide = 128;  // preset knobs run 0..127, so 128 x 128 presets
constexpr std::int32_t kMidiValueMask = 0x7F;

using TParameterValues = std::array<std::int32_t, kParameterCount>;
using TSeedTable = std::array<std::array<std::uint32_t, kPresetSide>, kPresetSide>;

struct TSoundRecord {
  TParameterValues StoredA{};                                // bank A snapshot, 0..127
  TParameterValues StoredB{};                                // bank B snapshot, 0..127
  TParameterValues Values{};                                 // current values: shown and last sent
  std::array<std::uint8_t, kParameterCount> MorphEnabled{};  // 1: parameter follows the morph
  std::uint8_t UseStoredA = 0;  // 1: bank A is StoredA; 0: the preset of (PresetA1, PresetA2)
  std::uint8_t UseStoredB = 0;  // 1: bank B is StoredB; 0: the preset of (PresetB1, PresetB2)
  std::int32_t PresetA1 = 0;
  std::int32_t PresetA2 = 0;
  std::int32_t PresetB1 = 127;
  std::int32_t PresetB2 = 127;
  std::int32_t Mix = 0;   // 0 (all bank A) .. 100 (all bank B)
  std::int32_t MixA = 0;  // -100..100 percent of bank A added
  std::int32_t MixB = 0;  // -100..100 percent of bank B added

  bool operator==(const TSoundRecord&) const = default;
};

class TSoundMemory {
public:
  // Fills the seed table and sets all sixteen records and the selection to their initial state.
  TSoundMemory();

  // The record of the selected sound; every panel operation goes through it.
  TSoundRecord& Current() { return FRecords[FSelectedSound]; }
  const TSoundRecord& Current() const { return FRecords[FSelectedSound]; }

  // Any record by sound index 0..15 (clamped).
  TSoundRecord& Record(int sound);
  const TSoundRecord& Record(int sound) const;

  int SelectedSound() const { return FSelectedSound; }
  // Selects a sound 0..15; any other index is refused and the selection stays as it was.
  bool SetSelectedSound(int sound);

  // Seeds[x][y], the seed of preset pair (x, y); x and y are clamped to 0..127.
  std::uint32_t Seed(int x, int y) const;
  const TSeedTable& Seeds() const { return FSeeds; }

  // Copies every current value into the bank's snapshot, makes the snapshot the bank's source
  // and moves Mix to that bank's end (0 for A, 100 for B). MixA and MixB are kept.
  void StoreA();
  void StoreB();

  // Blends the current record's followed parameters from its two banks. A bank's generated
  // preset is computed only when that bank uses it.
  void Morph();

  // How many presets Morph has generated since construction.
  std::uint64_t PresetsGenerated() const { return FPresetsGenerated; }

  // The 24 values of the generated preset of a seed; the same seed always gives the same values.
  static TParameterValues GeneratePreset(std::uint32_t seed);

  // The seed table: a 32-bit linear congruential sequence from state 1, row by row.
  static void FillSeeds(TSeedTable& seeds);

  // One blended value: each of the four weighted terms is rounded to single precision, the sum
  // plus one half is floored, and the low seven bits are kept (a blend outside 0..127 wraps).
  static std::int32_t Blend(std::int32_t a, std::int32_t b, std::int32_t mix, std::int32_t mixA,
                            std::int32_t mixB);

private:
  std::array<TSoundRecord, kSoundCount> FRecords{};
  TSeedTable FSeeds{};
  int FSelectedSound = 0;
  std::uint64_t FPresetsGenerated = 0;
};
