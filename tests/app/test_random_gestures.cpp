// A long, seeded run of random user gestures on the real main window (offscreen, over the
// recording MIDI backend), checked after every gesture against a plain model of the panel: every
// control's shown value, every field of the sixteen sound records and the exact messages sent.
// A failure prints the seed and the gesture number.
//   HALVORINE_GESTURE_SEED   replays a run
//   HALVORINE_GESTURE_COUNT  gestures to run (5000 by default)
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

#include "ErrorBoundary.h"
#include "PanelDriver.h"
#include "PanelModel.h"

namespace {

using namespace panel_model;

std::uint32_t FromEnvironment(const char* name, std::uint32_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

// Whether `sent` is what the output's queue may make of `model`. While a batch is slow to reach
// the device (a busy machine preempts the worker between two messages), a waiting control change
// takes the latest value of its channel and controller in its own place, so each run of one
// controller's values may reach the device as fewer messages, each at the place of the first of
// its group with the value of the last; every other message arrives as it was sent, in order.
bool MayBeMergedFrom(const std::vector<TMessage>& model, const std::vector<TMessage>& sent) {
  const auto control = [](const TMessage& m) { return m.size() == 3 && (m[0] & 0xF0) == 0xB0; };
  std::vector<bool> absorbed(model.size());
  int budget = 100000;  // a real difference with many equal values must not search for ever
  const auto match = [&](const auto& self, std::size_t p, std::size_t s) -> bool {
    while (p < model.size() && absorbed[p]) ++p;
    if (p == model.size() || s == sent.size()) return p == model.size() && s == sent.size();
    if (--budget < 0) return false;
    const TMessage& m = model[p];
    if (!control(m)) return m == sent[s] && self(self, p + 1, s + 1);
    if (sent[s].size() != 3 || sent[s][0] != m[0] || sent[s][1] != m[1]) return false;
    // The group of m ends at one of its controller's later values that carries the value sent.
    std::vector<std::size_t> taken;
    for (std::size_t q = p; q < model.size(); ++q) {
      if (q > p) {
        if (!control(model[q]) || model[q][0] != m[0] || model[q][1] != m[1]) continue;
        absorbed[q] = true;
        taken.push_back(q);
      }
      if (model[q][2] == sent[s][2] && self(self, p + 1, s + 1)) return true;
    }
    for (std::size_t q : taken) absorbed[q] = false;
    return false;
  };
  return match(match, 0, 0);
}

// The buttons by name, with what each does on the model.
const std::pair<const char*, void (*)(TPanelModel&)> kButtons[] = {
    {"OpenButton", [](TPanelModel& m) { m.Open(); }},
    {"CloseButton", [](TPanelModel& m) { m.Close(); }},
    {"ADownButton", [](TPanelModel& m) { m.Step(true, -1); }},
    {"AUpButton", [](TPanelModel& m) { m.Step(true, +1); }},
    {"BDownButton", [](TPanelModel& m) { m.Step(false, -1); }},
    {"BUpButton", [](TPanelModel& m) { m.Step(false, +1); }},
    {"StoreAButton", [](TPanelModel& m) { m.Store(true); }},
    {"RecallAButton", [](TPanelModel& m) { m.Recall(true); }},
    {"StoreBButton", [](TPanelModel& m) { m.Store(false); }},
    {"RecallBButton", [](TPanelModel& m) { m.Recall(false); }},
    {"Button1", [](TPanelModel& m) { m.Transport(0xFA); }},
    {"Button2", [](TPanelModel& m) { m.Transport(0xFC); }},
    {"Button3", [](TPanelModel& m) { m.Transport(0xFB); }},
    {"GroupFilterButton1", [](TPanelModel& m) { m.GroupFilter(0); }},
    {"GroupFilterButton2", [](TPanelModel& m) { m.GroupFilter(8); }},
    {"GroupFilterButton3", [](TPanelModel& m) { m.GroupFilter(16); }}};

class GestureRun {
public:
  GestureRun(std::uint32_t seed, TRecordingMidiBackend& midi)
      : FRandom(seed), FMidi(midi), FPanel(FForm) {
    FForm.show();
    for (int k = 0; k < kKnobCount; ++k) FKnobs[k] = FPanel.Knob(k);
    for (int i = 0; i < kParameterCount; ++i) FParBoxes[i] = FPanel.ParBox(i);
    for (int s = 0; s < kSoundCount; ++s) FSoundBoxes[s] = FPanel.SoundBox(s);
  }

  TMainForm& Form() { return FForm; }

  // One random gesture on the window and on the model; returns its description.
  std::string Gesture() {
    std::ostringstream what;
    switch (Pick(10)) {
      case 0:
      case 1:
      case 2: {  // a drag: a press, a few moves, a release
        const int k = Pick(kKnobCount);
        TSkinKnob* knob = FKnobs[k];
        what << "drag " << knob->objectName().toStdString();
        std::vector<QPoint> offsets;
        std::vector<int> dys;
        QPoint last(0, 0);
        for (int moves = Pick(4) + 1; moves > 0; --moves) {
          QPoint to;
          do to = QPoint(Range(-30, 30), Range(-300, 300));
          while (to == last);
          offsets.push_back(to);
          dys.push_back(to.y());
          last = to;
          what << " " << to.y();
        }
        FPanel.Drag(knob, offsets);
        FModel.Drag(k, dys);
        break;
      }
      case 3: {
        const int sound = Pick(kSoundCount);
        const bool right = Pick(8) == 0;
        what << (right ? "right-click sound " : "sound ") << kSoundNames[sound];
        FPanel.Click(FSoundBoxes[sound], right ? Qt::RightButton : Qt::LeftButton);
        if (!right) FModel.ClickSound(sound);
        break;
      }
      case 4:
      case 5: {
        const int i = Pick(kParameterCount);
        what << "tick CheckBox" << i + 1;
        FPanel.Click(FParBoxes[i]);
        FModel.ClickTick(i);
        break;
      }
      case 6:
      case 7: {
        const auto& [button, act] = kButtons[Pick(std::size(kButtons))];
        what << "press " << button;
        FPanel.Press(button);
        act(FModel);
        break;
      }
      case 8: {  // another program takes the device or lets it go
        FModel.DeviceHeld = !FModel.DeviceHeld;
        what << (FModel.DeviceHeld ? "device taken" : "device freed");
        FMidi.HoldDevice("Recording Out", FModel.DeviceHeld);
        break;
      }
      default: {
        const int item = Pick(13);
        what << "base channel " << item;
        FPanel.ChooseBaseChannel(item);
        FModel.ChooseBase(item);
        break;
      }
    }
    return what.str();
  }

  // Every difference between the window and the model; empty when there is none.
  std::string Differences() {
    std::ostringstream why;
    // Names are put together only for a difference: this runs for every field after every gesture.
    const auto differ = [&](long long real, long long model, auto&&... name) {
      if (real == model) return;
      (why << ... << name) << " is " << real << ", the model says " << model << "; ";
    };
    for (int k = 0; k < kKnobCount; ++k) {
      const TSkinKnob* knob = FKnobs[k];
      differ(knob->GetPosition(), FModel.Knob[k], knob->objectName().toStdString());
      differ(knob->GetGlyphIndex(), KnobFrame(k, FModel.Knob[k]), knob->objectName().toStdString(),
             " frame");
    }
    for (int i = 0; i < kParameterCount; ++i) {
      differ(FParBoxes[i]->isChecked(), FModel.Tick[i], "CheckBox", i + 1);
    }
    for (int s = 0; s < kSoundCount; ++s) {
      differ(FSoundBoxes[s]->GetChecked(), s == FModel.Selected, kSoundNames[s], "CheckBox");
      differ(FSoundBoxes[s]->GetGlyphIndex(), s == FModel.Selected, kSoundNames[s],
             "CheckBox frame");
    }
    differ(FPanel.BaseChannel()->currentIndex(), FModel.BaseItem, "base channel item");
    differ(FForm.MidiOut().GetChannel(), FModel.BaseItem + 1, "port channel");
    differ(FForm.MidiOut().IsOpen(), FModel.PortOpen, "port open");
    differ(FMidi.OpenCalls(), FModel.DeviceOpens, "device opens");
    differ(FForm.Memory().SelectedSound(), FModel.Selected, "selected sound");
    for (int s = 0; s < kSoundCount; ++s) {
      const TSoundRecord& real = FForm.Memory().Record(s);
      if (real == FModel.Records[s]) continue;
      why << kSoundNames[s] << " is " << Text(real) << ", the model says "
          << Text(FModel.Records[s]) << "; ";
    }
    const auto sent = ReceivedFrom(FMidi, 0, FModel.Sent.size());
    FMidi.ClearMessages();
    if (!MayBeMergedFrom(FModel.Sent, sent)) {
      why << "sent " << Hex(sent) << ", the model says " << Hex(FModel.Sent);
    }
    FModel.Sent.clear();
    return why.str();
  }

private:
  // Every field of a record in the order the record declares them: the three value arrays, the
  // morph flags, the banks' sources and the seven knob fields.
  static std::string Text(const TSoundRecord& r) {
    std::ostringstream text;
    for (const auto* values : {&r.StoredA, &r.StoredB, &r.Values}) {
      for (int v : *values) text << v << " ";
      text << "/ ";
    }
    for (int m : r.MorphEnabled) text << m;
    text << " / " << int{r.UseStoredA} << int{r.UseStoredB};
    for (const auto field : kBankFields) text << " " << r.*field;
    return text.str();
  }

  static std::string Hex(const std::vector<TMessage>& messages) {
    std::ostringstream text;
    text << std::hex << "[";
    for (const TMessage& m : messages) {
      text << " ";
      for (std::size_t i = 0; i < m.size(); ++i) text << (i > 0 ? "." : "") << int{m[i]};
    }
    text << " ]";
    return text.str();
  }

  int Pick(std::size_t n) { return static_cast<int>(FRandom() % n); }
  int Range(int lo, int hi) { return lo + Pick(static_cast<std::size_t>(hi - lo + 1)); }

  std::mt19937 FRandom;
  TRecordingMidiBackend& FMidi;
  TMainForm FForm;
  TPanelDriver FPanel;
  TPanelModel FModel;
  std::array<TSkinKnob*, kKnobCount> FKnobs{};
  std::array<QCheckBox*, kParameterCount> FParBoxes{};
  std::array<TSkinCheckBox*, kSoundCount> FSoundBoxes{};
};

TEST(RandomGestures, EveryGestureDoesWhatTheModelSays) {
  const std::uint32_t seed = FromEnvironment("HALVORINE_GESTURE_SEED", 20261208u);
  const std::uint32_t count = FromEnvironment("HALVORINE_GESTURE_COUNT", 5000u);
  TRecordingMidiService midi;
  QStringList errors;
  TErrorBoundary::SetErrorSink([&](const QString& text) { errors << text; });
  {
    GestureRun run(seed, midi.Backend());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&run.Form()));
    for (std::uint32_t g = 0; g < count; ++g) {
      const std::string gesture = run.Gesture();
      const std::string differences = run.Differences();
      ASSERT_TRUE(differences.empty() && errors.isEmpty())
          << "seed " << seed << " (replay with HALVORINE_GESTURE_SEED=" << seed << "), gesture "
          << g << ": " << gesture << ": " << differences << errors.join("; ").toStdString();
    }
  }
  TErrorBoundary::SetErrorSink(nullptr);
}

}  // namespace
