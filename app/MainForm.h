#pragma once

#include <QWidget>
#include <array>
#include <memory>

#include "DebugDevice.h"
#include "MidiOut.h"
#include "MidiOutStatus.h"
#include "SkinSource.h"
#include "SoundMemory.h"

namespace Ui {
class MainForm;
}
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class TSkinCheckBox;
class TSkinKnob;

// The panel's one window. Every control comes from the Designer layout; the handlers below are
// bound after the layout is built, so loading it raises no change event. Each handler is a short
// list of steps over the sound memory, the port and the log.
class TMainForm : public QWidget {
  Q_OBJECT

public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  TSoundMemory& Memory() { return FMemory; }
  TMidiOut& MidiOut() { return *FMidiOut; }

  // The one entry point through which commands start a morph: copies the knobs and boxes into the
  // current record, blends, then sends and shows every ticked parameter in ascending order.
  void UpdateMorph();

  // Sends parameter index (0..23) of the selected sound as a control change on the sound's
  // channel and controller.
  void SendParameter(int index, int value);
  // Moves parameter knob index; the knob raises its change event.
  void SetParKnob(int index, int value);

  // Handlers, called with the control that raised the event.
  void FormCreate();
  void ParKnobChange(QObject* Sender);
  void BaseChannelComboBoxChange(QObject* Sender);
  void ParameterCheckBoxClick(QObject* Sender);
  void GroupFilterButtonClick(QObject* Sender);
  void SoundCheckBoxClick(QObject* Sender);
  void PresetAKnobChange(QObject* Sender);
  void PresetBKnobChange(QObject* Sender);
  void ADownButtonClick(QObject* Sender);
  void AUpButtonClick(QObject* Sender);
  void BDownButtonClick(QObject* Sender);
  void BUpButtonClick(QObject* Sender);
  void StoreAButtonClick(QObject* Sender);
  void RecallAButtonClick(QObject* Sender);
  void StoreBButtonClick(QObject* Sender);
  void RecallBButtonClick(QObject* Sender);
  void MixKnobChange(QObject* Sender);
  void Button1Click(QObject* Sender);
  void Button2Click(QObject* Sender);
  void Button3Click(QObject* Sender);
  void OpenButtonClick(QObject* Sender);
  void CloseButtonClick(QObject* Sender);

  // The port's status line below the transport buttons, and the device list's tooltip, which
  // says the same. Refreshed a few times a second and after every port command.
  QLabel* MidiStatusLabel() const { return FMidiStatusLabel; }
  void UpdateMidiStatus();

private:
  void BindHandlers();
  void StepPreset(TSkinKnob* first, TSkinKnob* second, int step);

  std::unique_ptr<Ui::MainForm> ui;
  TSkinSource SoundSelectionSkinSource;
  TSkinSource KnobSkinSource;
  TDebugDevice DebugDevice;
  std::unique_ptr<TMidiOut> FMidiOut;
  QLabel* FMidiStatusLabel = nullptr;
  TMidiOutStatus FMidiStatus;

  bool FSuppressMorph = false;
  bool FSuppressParKnob = false;
  TSoundMemory FMemory;
  std::array<TSkinKnob*, kParameterCount> FParKnobs{};
  std::array<QCheckBox*, kParameterCount> FParCheckBoxes{};
  std::array<TSkinCheckBox*, kSoundCount> FSoundBoxes{};
};
