// The main window's binding to the MIDI input: what the instrument sends takes the place of a hand
// on the knobs, without anything going back to it. No control of the layout is added or moved.
#include <QActionGroup>
#include <QCheckBox>
#include <QMenu>

#include "ErrorBoundary.h"
#include "MainForm.h"
#include "MidiBytes.h"
#include "SkinKnob.h"
#include "TickCount.h"
#include "Transmission.h"
#include "UserSettings.h"

namespace {

constexpr const char* kInputKey = "MidiInput";
constexpr const char* kThruKey = "MidiThru";
// A run of received changes with no longer gap than this is one undo step.
constexpr std::uint32_t kReceivedRunGapMs = 1000;

}  // namespace

void TMainForm::SetUpInput() {
  FMidiIn = new TMidiIn(this);
  connect(FMidiIn, &TMidiIn::Arrived, this,
          [this] { TErrorBoundary::Dispatch([this] { ReceiveInput(); }); });
}

bool TMainForm::SelectInputByName(const QString& name) {
  const bool opened = FMidiIn->Open(name);
  UpdateMidiStatus();
  return opened;
}

void TMainForm::SetThru(bool thru, bool remember) {
  FThru = thru;
  if (remember) UserSettings().setValue(QString::fromLatin1(kThruKey), thru);
}

void TMainForm::RestoreInput(bool input) {
  if (UserSettings().value(QString::fromLatin1(kThruKey)).toBool()) SetThru(true);
  if (!input) return;
  const QString name = UserSettings().value(QString::fromLatin1(kInputKey)).toString();
  // A remembered input that is not listed now is followed once it is.
  if (!name.isEmpty() && !SelectInputByName(name)) AwaitInput(name);
}

void TMainForm::AddInputMenu(QMenu* menu) {
  QMenu* inputs = menu->addMenu(tr("MIDI input"));
  auto* group = new QActionGroup(inputs);
  const QString current = FMidiIn->Device();
  const auto choose = [this](const QString& name) {
    TErrorBoundary::Dispatch([&] {
      if (name.isEmpty()) {
        FMidiIn->Close();
        UserSettings().remove(QString::fromLatin1(kInputKey));
      } else {
        SelectInputByName(name);
        UserSettings().setValue(QString::fromLatin1(kInputKey), name);
      }
      UpdateMidiStatus();
    });
  };
  const auto add = [&](const QString& text, const QString& name) {
    QAction* action = inputs->addAction(text, this, [choose, name] { choose(name); });
    action->setCheckable(true);
    action->setChecked(name == current);
    group->addAction(action);
  };
  QStringList names = TMidiIn::Devices();
  if (!current.isEmpty() && !names.contains(current)) names.prepend(current);
  for (const QString& name : names) add(name, name);
  if (!names.isEmpty()) inputs->addSeparator();
  add(tr("None"), QString());
  QAction* thru = menu->addAction(tr("MIDI thru"), this, [this](bool on) {
    TErrorBoundary::Dispatch([&] { SetThru(on, true); });
  });
  thru->setCheckable(true);
  thru->setChecked(FThru);
}

void TMainForm::ReceiveInput() {
  bool changed = false;
  TSoundSet before;
  const int base = FMidiOut->GetChannel();
  // The panel's own clock is the only one its output carries: another's ticks and transport would
  // run in between, and a Start would start it.
  const bool ownClock = FMidiOut->ClockTempo() > 0;
  FMidiIn->Take([&](const TMidiInMessage& m) {
    if (FThru && !(ownClock && MidiIsClockByte(m.Bytes[0]))) {
      FMidiOut->SendMessage(m.Bytes[0], m.Bytes[1], m.Bytes[2]);
    }
    if (m.Count != 3 || MidiStatusKind(m.Bytes[0]) != kMidiControlChange) return;
    const std::optional<TParameterAt> at = ParameterAt(base, m.Bytes[0] & 0x0F, m.Bytes[1]);
    // A value the parameter holds already changes nothing: an instrument that echoes what it is
    // sent must not take the parameter out of the morph.
    if (!at || FMemory.Record(at->Sound).Values[at->Index] == m.Bytes[2]) return;
    if (!changed) before = CurrentState();
    changed = true;
    SetReceivedParameter(at->Sound, at->Index, m.Bytes[2]);
  });
  // A drag records what came with it at its release, a sweep at its end.
  if (!changed || DragInProgress() || FSweep.Active) return;
  const std::uint32_t now = GetTickCount();
  if (FLastReceived && now - *FLastReceived > kReceivedRunGapMs) FReceivedRun ^= 1;
  FLastReceived = now;
  FDocument->PushStep(tr("Received from the instrument"), before, &FReceivedKeys[FReceivedRun]);
}

// As a hand on the knob: the box is cleared and the record changes, the knob moves if the sound is
// shown. No morph runs and nothing is sent.
void TMainForm::SetReceivedParameter(int sound, int index, int value) {
  TSoundRecord& r = FMemory.Record(sound);
  r.Values[index] = value;
  r.MorphEnabled[index] = 0;
  if (sound != FMemory.SelectedSound()) return;
  const bool restoring = std::exchange(FRestoring, true);
  FSuppressMorph = true;
  FSuppressParKnob = true;
  FParCheckBoxes[index]->setChecked(false);
  if (FParKnobs[index]->GetPosition() != value) SetParKnob(index, value);
  FSuppressParKnob = false;
  FSuppressMorph = false;
  FRestoring = restoring;
}
