#pragma once

// A small, plain model of the panel, written from the panel's rules alone: what each user gesture
// does to the controls, to the memory of the sixteen sounds and to the bytes on the wire. It shares
// no code with the window and does not run the memory's morph; it uses only the record type, the
// preset generator, the seed table and the single blend of TSoundMemory, which the memory's own
// tests pin against published examples.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "SoundMemory.h"

namespace panel_model {

// Knobs by number: 0..23 the parameter knobs, then the seven preset and mix knobs.
constexpr int kPresetA1 = 24, kPresetA2 = 25, kPresetB1 = 26, kPresetB2 = 27;
constexpr int kMix = 28, kMixA = 29, kMixB = 30, kKnobCount = 31;

constexpr int KnobMin(int k) { return k == kMixA || k == kMixB ? -100 : 0; }
constexpr int KnobMax(int k) { return k >= kMix ? 100 : 127; }
// The frame a knob of the window's 67-frame strip shows at a position.
constexpr int KnobFrame(int k, int position) {
  return 66 * (position - KnobMin(k)) / (KnobMax(k) - KnobMin(k));
}

// The record fields the seven preset and mix knobs go into, in knob order.
constexpr std::int32_t TSoundRecord::*kBankFields[7] = {
    &TSoundRecord::PresetA1, &TSoundRecord::PresetA2, &TSoundRecord::PresetB1,
    &TSoundRecord::PresetB2, &TSoundRecord::Mix,      &TSoundRecord::MixA,
    &TSoundRecord::MixB};

using TMessage = std::vector<std::uint8_t>;

class TPanelModel {
public:
  TPanelModel() : FSeeds(std::make_unique<TSeedTable>()) {
    TSoundMemory::FillSeeds(*FSeeds);
    Knob[kPresetB1] = Knob[kPresetB2] = 127;
  }

  // What the panel shows and holds.
  std::array<TSoundRecord, kSoundCount> Records{};
  int Selected = 0;                          // the one sound box checked
  std::array<int, kKnobCount> Knob{};        // knob positions
  std::array<bool, kParameterCount> Tick{};  // parameter check boxes
  int BaseItem = 0;                          // "1 - 4" .. "13 - 16"
  bool PortOpen = false;
  bool DeviceHeld = false;     // another program has the device
  int DeviceOpens = 0;         // opens the service was asked for
  std::vector<TMessage> Sent;  // every message that reached the device, in order

  TSoundRecord& Current() { return Records[Selected]; }

  // One change event of knob k at `value` (clamped to its range), as every move of a drag raises.
  void Turn(int k, int value) {
    Knob[k] = std::clamp(value, KnobMin(k), KnobMax(k));
    if (k < kParameterCount) {
      // Touching a parameter's knob takes it out of the morph; unticking runs one update first.
      if (Tick[k]) {
        Tick[k] = false;
        Update();
      }
      Current().Values[k] = Knob[k];
      Send(k, Knob[k]);
    } else if (k == kPresetA1 || k == kPresetA2) {
      Current().UseStoredA = 0;
      Update();
    } else if (k == kPresetB1 || k == kPresetB2) {
      Current().UseStoredB = 0;
      Update();
    } else {
      Update();
    }
  }

  // A left-button drag: every move, dy pixels below the press point, turns the knob from where it
  // stood at the press; the whole range takes 128 pixels.
  void Drag(int k, const std::vector<int>& dys) {
    const int start = Knob[k];
    for (int dy : dys) Turn(k, start - (KnobMax(k) - KnobMin(k)) * dy / 128);
  }

  void ClickSound(int sound) {
    Selected = sound;
    TSoundRecord& r = Current();
    for (int k = kPresetA1; k < kKnobCount; ++k) Knob[k] = r.*kBankFields[k - kPresetA1];
    // Moving the preset knobs puts both banks back on their generated presets.
    r.UseStoredA = 0;
    r.UseStoredB = 0;
    for (int i = 0; i < kParameterCount; ++i) {
      Tick[i] = r.MorphEnabled[i] != 0;
      Knob[i] = r.Values[i];
    }
  }

  void ClickTick(int i) {
    Tick[i] = !Tick[i];
    Update();
  }

  // The arrow buttons: the pair is the number 128 p2 + p1, stepped by one without wrapping.
  void Step(bool bankA, int direction) {
    const int first = bankA ? kPresetA1 : kPresetB1;
    const int second = bankA ? kPresetA2 : kPresetB2;
    const int number = std::clamp(128 * Knob[second] + Knob[first] + direction, 0, 16383);
    Knob[first] = number % 128;
    Knob[second] = number / 128;
    (bankA ? Current().UseStoredA : Current().UseStoredB) = 0;
    Update();
  }

  void Store(bool bankA) {
    TSoundRecord& r = Current();
    (bankA ? r.StoredA : r.StoredB) = r.Values;
    (bankA ? r.UseStoredA : r.UseStoredB) = 1;
    r.Mix = bankA ? 0 : 100;
    Knob[kMix] = r.Mix;
    Knob[kMixA] = 0;
    Knob[kMixB] = 0;
  }

  void Recall(bool bankA) {
    (bankA ? Current().UseStoredA : Current().UseStoredB) = 1;
    Update();
  }

  // Ticks the column of eight from `first` unless all eight are ticked, then unticks it.
  void GroupFilter(int first) {
    const bool all = std::all_of(Tick.begin() + first, Tick.begin() + first + 8,
                                 [](bool ticked) { return ticked; });
    std::fill(Tick.begin() + first, Tick.begin() + first + 8, !all);
    Update();
  }

  void Transport(std::uint8_t status) {
    if (PortOpen) Sent.push_back({status});
  }

  // The device the picker names opens unless another program holds it. An open port is not
  // opened again. Either way the update runs.
  void Open() {
    if (!PortOpen) {
      ++DeviceOpens;
      PortOpen = !DeviceHeld;
    }
    Update();
  }
  void Close() { PortOpen = false; }

  void ChooseBase(int item) { BaseItem = item; }

  // The morph update: the controls go into the record, the ticked parameters are blended from
  // the two banks and sent, each before its knob shows it.
  void Update() {
    TSoundRecord& r = Current();
    for (int k = kPresetA1; k < kKnobCount; ++k) r.*kBankFields[k - kPresetA1] = Knob[k];
    const TParameterValues presetA =
        TSoundMemory::GeneratePreset((*FSeeds)[r.PresetA1][r.PresetA2]);
    const TParameterValues presetB =
        TSoundMemory::GeneratePreset((*FSeeds)[r.PresetB1][r.PresetB2]);
    for (int i = 0; i < kParameterCount; ++i) {
      r.MorphEnabled[i] = Tick[i] ? 1 : 0;
      if (!Tick[i]) continue;
      const int a = r.UseStoredA ? r.StoredA[i] : presetA[i];
      const int b = r.UseStoredB ? r.StoredB[i] : presetB[i];
      r.Values[i] = TSoundMemory::Blend(a, b, r.Mix, r.MixA, r.MixB);
      Send(i, r.Values[i]);
      Knob[i] = r.Values[i];
    }
  }

private:
  // Four sounds to a channel from the base channel on; each sound owns 24 controllers from the
  // first of its block.
  void Send(int i, int value) {
    if (!PortOpen) return;
    static constexpr int kFirstController[4] = {16, 40, 72, 96};
    Sent.push_back({static_cast<std::uint8_t>(0xB0 | (BaseItem + Selected / 4)),
                    static_cast<std::uint8_t>(kFirstController[Selected % 4] + i),
                    static_cast<std::uint8_t>(value)});
  }

  std::unique_ptr<TSeedTable> FSeeds;
};

}  // namespace panel_model
