#pragma once

#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <array>

#include "ChannelComboBox.h"
#include "Knob.h"
#include "MidiKeyboard.h"
#include "MidiOut.h"
#include "MidiOutComboBox.h"

// A window to try the two further components: a device picker with an Open button, the keyboard
// over all 128 notes playing through the window's port on the picked channel, and three bitmap
// knobs on 0..100, 0..127 and -100..100 with their positions shown beside them.
//
// The port is made with the window, so construction throws EMidiOutError when all port slots are
// taken.
class TShowcaseForm : public QWidget {
  Q_OBJECT

public:
  explicit TShowcaseForm(QWidget* parent = nullptr);
  // Ends a note the keyboard still holds on the port before the port goes.
  ~TShowcaseForm() override;

  TMidiOut* Port() const { return FPort; }
  TMidiOutComboBox* Devices() const { return FDevices; }
  QPushButton* OpenButton() const { return FOpenButton; }
  TChannelComboBox* Channels() const { return FChannels; }
  TMidiKeyboard* Keyboard() const { return FKeyboard; }
  TKnob* Knob(int i) const { return FKnobs.at(i); }
  QLabel* KnobValue(int i) const { return FKnobValues.at(i); }
  // What the last Open did, for the user.
  QLabel* Status() const { return FStatus; }

  // Opens the picked device on the port, first closing the one open; the outcome goes to Status.
  void OpenPort();

private:
  TMidiOut* FPort;
  TMidiOutComboBox* FDevices;
  QPushButton* FOpenButton;
  TChannelComboBox* FChannels;
  QLabel* FStatus;
  TMidiKeyboard* FKeyboard;
  std::array<TKnob*, 3> FKnobs{};
  std::array<QLabel*, 3> FKnobValues{};
};
