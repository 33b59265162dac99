// Every path of the panel's commands, one table per path, on the real window offscreen over the
// recording MIDI backend: each knob of the two banks and the three mix knobs set apart from the
// others, selecting a sound and coming back, storing into either bank, and opening the port with
// no device or twice. Expected values come from the preset generator, the seed table and the
// single blend, never from the window's own morph.
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "PanelDriver.h"

namespace {

using TMessage = std::vector<std::uint8_t>;

constexpr int kPresetA1 = 24, kPresetA2 = 25, kPresetB1 = 26, kPresetB2 = 27;
constexpr int kMix = 28, kMixA = 29, kMixB = 30;

const TSeedTable& Seeds() {
  static const auto table = [] {
    auto seeds = std::make_unique<TSeedTable>();
    TSoundMemory::FillSeeds(*seeds);
    return seeds;
  }();
  return *table;
}

TParameterValues Preset(int first, int second) {
  return TSoundMemory::GeneratePreset(Seeds()[first][second]);
}

// A control change of parameter i of BD (base channel "1 - 4").
TMessage BD(int i, int value) {
  return {0xB0, static_cast<std::uint8_t>(16 + i), static_cast<std::uint8_t>(value)};
}

class PanelPath : public testing::Test {
protected:
  void SetUp() override {
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }

  // The messages sent since the last call; waits briefly for `expected` of them.
  std::vector<TMessage> Sent(std::size_t expected = 0) {
    auto sent = ReceivedFrom(Midi.Backend(), 0, expected);
    Midi->ClearMessages();
    return sent;
  }

  // The 31 knob positions and 24 ticks as shown.
  std::pair<std::array<int, 31>, std::array<bool, 24>> Shown() const {
    std::pair<std::array<int, 31>, std::array<bool, 24>> shown;
    for (int k = 0; k < 31; ++k) shown.first[k] = P.Knob(k)->GetPosition();
    for (int i = 0; i < 24; ++i) shown.second[i] = P.ParBox(i)->isChecked();
    return shown;
  }

  TSoundRecord& Current() { return Form->Memory().Current(); }

  TRecordingMidiService Midi{{"Recording Out"}};
  std::unique_ptr<TMainForm> Form = std::make_unique<TMainForm>();
  TPanelDriver P{*Form};
};

// ---- The seven preset and mix knobs, each turned while the others stand elsewhere ----

struct TBankKnobCase {
  int Knob;
  int Value;
};

class BankKnob : public PanelPath, public testing::WithParamInterface<TBankKnobCase> {};

TEST_P(BankKnob, BlendsFromAllSevenPositionsAndMirrorsThem) {
  const TBankKnobCase c = GetParam();
  P.Press("OpenButton");
  for (int i : {0, 4, 23}) P.Click(P.ParBox(i));
  // Every knob at its own position, so that one read in place of another shows.
  std::array<int, 31> at{};
  at[kPresetA1] = 11, at[kPresetA2] = 22, at[kPresetB1] = 33, at[kPresetB2] = 44;
  at[kMix] = 30, at[kMixA] = -20, at[kMixB] = 15;
  for (int k = kPresetA1; k <= kMixB; ++k) P.Knob(k)->SetPosition(at[k]);
  Sent(6 + 7 * 3);

  P.DragTo(P.Knob(c.Knob), c.Value);
  at[c.Knob] = c.Value;
  const TParameterValues a = Preset(at[kPresetA1], at[kPresetA2]);
  const TParameterValues b = Preset(at[kPresetB1], at[kPresetB2]);
  std::vector<TMessage> want;
  for (int i : {0, 4, 23}) {
    const int v = TSoundMemory::Blend(a[i], b[i], at[kMix], at[kMixA], at[kMixB]);
    want.push_back(BD(i, v));
    EXPECT_EQ(P.Knob(i)->GetPosition(), v) << "ParKnob" << i + 1;
    EXPECT_EQ(Current().Values[i], v) << i;
  }
  EXPECT_EQ(Sent(want.size()), want);
  const TSoundRecord& r = Current();
  EXPECT_EQ(
      (std::array<int, 7>{r.PresetA1, r.PresetA2, r.PresetB1, r.PresetB2, r.Mix, r.MixA, r.MixB}),
      (std::array<int, 7>{at[24], at[25], at[26], at[27], at[28], at[29], at[30]}));
  for (int k = kPresetA1; k <= kMixB; ++k) EXPECT_EQ(P.Knob(k)->GetPosition(), at[k]) << k;
}

INSTANTIATE_TEST_SUITE_P(EachKnob, BankKnob,
                         testing::Values(TBankKnobCase{kPresetA1, 100}, TBankKnobCase{kPresetA2, 5},
                                         TBankKnobCase{kPresetB1, 64}, TBankKnobCase{kPresetB2, 0},
                                         TBankKnobCase{kMix, 77}, TBankKnobCase{kMixA, 59},
                                         TBankKnobCase{kMixB, -89}),
                         [](const auto& info) { return kBankKnobNames[info.param.Knob - 24]; });

// A preset knob puts its own bank on the generated preset and leaves the other on its snapshot.
class PresetKnob : public PanelPath, public testing::WithParamInterface<int> {};

TEST_P(PresetKnob, LeavesTheOtherBankOnItsSnapshot) {
  const int knob = GetParam();
  const bool bankA = knob == kPresetA1 || knob == kPresetA2;
  P.Press("OpenButton");
  P.DragTo(P.Knob(0), 40);
  P.Press("StoreAButton");
  P.DragTo(P.Knob(0), 90);
  P.Press("StoreBButton");
  P.Click(P.ParBox(0));
  P.Knob(kMix)->SetPosition(50);
  ASSERT_EQ(P.Knob(0)->GetPosition(), TSoundMemory::Blend(40, 90, 50, 0, 0));
  Sent(4);

  P.DragTo(P.Knob(knob), P.Knob(knob)->GetPosition() == 127 ? 120 : 3);
  EXPECT_EQ(Current().UseStoredA, bankA ? 0 : 1);
  EXPECT_EQ(Current().UseStoredB, bankA ? 1 : 0);
  const int a = bankA ? Preset(Current().PresetA1, Current().PresetA2)[0] : 40;
  const int b = bankA ? 90 : Preset(Current().PresetB1, Current().PresetB2)[0];
  EXPECT_EQ(Sent(1), std::vector<TMessage>{BD(0, TSoundMemory::Blend(a, b, 50, 0, 0))});
}

INSTANTIATE_TEST_SUITE_P(EachPresetKnob, PresetKnob,
                         testing::Values(kPresetA1, kPresetA2, kPresetB1, kPresetB2),
                         [](const auto& info) { return kBankKnobNames[info.param - 24]; });

// ---- Selecting a sound shows its record; coming back shows everything as it was left ----

struct TSelectCase {
  int From, To;  // the sound edited, the sound selected after it (the same: pressed again)
};

class Select : public PanelPath, public testing::WithParamInterface<TSelectCase> {};

TEST_P(Select, RestoresEveryKnobAndTickAndSendsNothing) {
  const TSelectCase c = GetParam();
  P.Press("OpenButton");
  if (c.From != 0) P.Click(P.SoundBox(c.From));
  for (int i = 0; i < 24; ++i) P.DragTo(P.Knob(i), (37 * i + 5) % 128);
  for (int i = 1; i < 24; i += 3) P.Click(P.ParBox(i));
  const int bank[7] = {3, 120, 17, 99, 64, -45, 81};
  for (int k = kPresetA1; k <= kMixB; ++k) P.Knob(k)->SetPosition(bank[k - kPresetA1]);
  P.Press("RecallAButton");  // both banks on their snapshots when the sound is left
  P.Press("RecallBButton");
  const auto left = Shown();
  Midi->ClearMessages();

  P.Click(P.SoundBox(c.To));
  if (c.To != c.From) {
    const auto fresh = Shown();  // a sound never touched shows the initial state
    for (int k = 0; k < 31; ++k) {
      EXPECT_EQ(fresh.first[k], k == kPresetB1 || k == kPresetB2 ? 127 : 0) << "knob " << k;
    }
    EXPECT_EQ(fresh.second, (std::array<bool, 24>{}));
    P.Click(P.SoundBox(c.From));
  }
  const auto back = Shown();
  for (int k = 0; k < 31; ++k) EXPECT_EQ(back.first[k], left.first[k]) << "knob " << k;
  EXPECT_EQ(back.second, left.second);
  for (int s = 0; s < 16; ++s) EXPECT_EQ(P.SoundBox(s)->GetChecked(), s == c.From) << s;
  EXPECT_EQ(Form->Memory().SelectedSound(), c.From);
  EXPECT_EQ(Current().UseStoredA, 0);
  EXPECT_EQ(Current().UseStoredB, 0);
  EXPECT_EQ(Sent(), std::vector<TMessage>{});
}

INSTANTIATE_TEST_SUITE_P(Sounds, Select,
                         testing::Values(TSelectCase{8, 0}, TSelectCase{0, 15}, TSelectCase{13, 6},
                                         TSelectCase{0, 0}, TSelectCase{11, 11}),
                         [](const auto& info) {
                           return std::string(kSoundNames[info.param.From]) + "_" +
                                  kSoundNames[info.param.To];
                         });

// ---- Store and recall, bank A and bank B: Store moves the three mix knobs and sends nothing, the
// record's MixA and MixB wait for the next update; Recall puts the bank back on its snapshot ----

struct TStoreCase {
  const char* Bank;  // "A" or "B"
  int Mix;           // where MixKnob and the record's Mix end
};

class StoreRecall : public PanelPath, public testing::WithParamInterface<TStoreCase> {};

TEST_P(StoreRecall, StoresWithoutSendingAndRecallsTheSnapshot) {
  const TStoreCase c = GetParam();
  const bool bankA = c.Mix == 0;
  const QString bank = c.Bank, other = bankA ? "B" : "A";
  TSoundRecord& r = Current();
  P.Press("OpenButton");
  P.Press("Recall" + other + "Button");  // the other bank on its (empty) snapshot, which stays
  for (int i = 0; i < 24; ++i) P.Knob(i)->SetPosition(100 - i);
  P.Knob(kMix)->SetPosition(30);
  P.Knob(kMixA)->SetPosition(-20);
  P.Knob(kMixB)->SetPosition(15);
  Sent(24);

  P.Press("Store" + bank + "Button");
  EXPECT_EQ(P.Knob(kMix)->GetPosition(), c.Mix);
  EXPECT_EQ(P.Knob(kMixA)->GetPosition(), 0);
  EXPECT_EQ(P.Knob(kMixB)->GetPosition(), 0);
  EXPECT_EQ(r.Mix, c.Mix);
  EXPECT_EQ(r.MixA, -20);
  EXPECT_EQ(r.MixB, 15);
  EXPECT_EQ(bankA ? r.StoredA : r.StoredB, r.Values);
  EXPECT_EQ(bankA ? r.StoredB : r.StoredA, TParameterValues{});
  EXPECT_EQ(r.UseStoredA, 1);
  EXPECT_EQ(r.UseStoredB, 1);
  EXPECT_EQ(Sent(), std::vector<TMessage>{});

  // The next update copies the knobs: the mix points fully at the snapshot just taken.
  P.Click(P.ParBox(7));
  EXPECT_EQ(r.MixA, 0);
  EXPECT_EQ(r.MixB, 0);
  EXPECT_EQ(Sent(1), std::vector<TMessage>{BD(7, 93)});

  // A preset knob takes the bank off its snapshot; Recall puts it back and runs an update.
  P.DragTo(P.Knob(bankA ? kPresetA1 : kPresetB1), 9);
  ASSERT_EQ(bankA ? r.UseStoredA : r.UseStoredB, 0);
  ASSERT_NE(P.Knob(7)->GetPosition(), 93);
  Sent(1);
  P.Press("Recall" + bank + "Button");
  EXPECT_EQ(r.UseStoredA, 1);
  EXPECT_EQ(r.UseStoredB, 1);
  EXPECT_EQ(P.Knob(7)->GetPosition(), 93);
  EXPECT_EQ(Sent(1), std::vector<TMessage>{BD(7, 93)});
}

INSTANTIATE_TEST_SUITE_P(Banks, StoreRecall,
                         testing::Values(TStoreCase{"A", 0}, TStoreCase{"B", 100}),
                         [](const auto& info) { return std::string(info.param.Bank); });

// ---- Open: with no device, once, and again on an open port ----

TEST(PanelOpen, OpensOnlyAChosenDeviceOnceAndUpdatesEveryTime) {
  struct TCase {
    std::vector<std::string> Devices;
    int Presses;
    bool Open;
    int OpenCalls;
    int ErrorCode;
  };
  const TCase cases[] = {
      {{}, 1, false, 0, 2},                // no device: DeviceID -1, refused without the service
      {{"Recording Out"}, 1, true, 1, 0},  //
      {{"Recording Out"}, 2, true, 1, 0},  // already open: true at once, not opened again
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Devices.size() + 10 * c.Presses);
    TRecordingMidiService midi(c.Devices);
    TMainForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    TPanelDriver p(form);
    p.Click(p.ParBox(1));
    p.Knob(kMixA)->SetPosition(40);
    const int stored = p.Knob(1)->GetPosition();
    p.Press("StoreAButton");  // the record keeps MixA 40 until an update copies the knob's 0
    ASSERT_EQ(form.Memory().Current().MixA, 40);
    for (int press = 0; press < c.Presses; ++press) p.Press("OpenButton");
    EXPECT_EQ(form.MidiOut().IsOpen(), c.Open);
    EXPECT_EQ(midi->OpenCalls(), c.OpenCalls);
    EXPECT_EQ(form.MidiOut().ErrorCode(), c.ErrorCode);
    EXPECT_EQ(form.Memory().Current().MixA, 0) << "the update ran";
    // Each press sends the ticked parameter: its value from bank A's snapshot at mix 0.
    const std::vector<TMessage> want(c.Open ? c.Presses : 0, BD(1, stored));
    EXPECT_EQ(ReceivedFrom(midi.Backend(), 0, want.size()), want);
  }
}

}  // namespace
