// The panel's store and recall and its Open on the real window offscreen over the recording MIDI
// backend, one table per path. Every other gesture is checked against the panel's model
// (test_random_gestures).
#include <gtest/gtest.h>

#include <memory>

#include "PanelDriver.h"

namespace {

using TMessage = std::vector<std::uint8_t>;

constexpr int kPresetA1 = 24, kPresetB1 = 26;
constexpr int kMix = 28, kMixA = 29, kMixB = 30;

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

  TSoundRecord& Current() { return Form->Memory().Current(); }

  TRecordingMidiService Midi{{"Recording Out"}};
  std::unique_ptr<TMainForm> Form = std::make_unique<TMainForm>();
  TPanelDriver P{*Form};
};

// ---- Store and recall, bank A and bank B: Store moves the three mix knobs and sends nothing, the
// record's MixA and MixB wait for the next update; Recall puts the bank back on its snapshot ----

struct TStoreCase {
  const char* Bank;  // "A" or "B"
  int Mix;           // where MixKnob and the record's Mix end
};

void PrintTo(const TStoreCase& c, std::ostream* os) { *os << "bank " << c.Bank; }

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
