#pragma once

#include <QComboBox>

// A drop-down list of the MIDI channels "1" to "16".
class TChannelComboBox : public QComboBox {
  Q_OBJECT
  Q_PROPERTY(int Channel READ Channel WRITE SetChannel)

public:
  // Fills the sixteen items and selects "1".
  explicit TChannelComboBox(QWidget* parent = nullptr);

  // The selected channel 1..16; 0 when nothing is selected.
  int Channel() const { return currentIndex() + 1; }
  // Selects channel `channel`; a value outside 1..16 leaves nothing selected.
  void SetChannel(int channel);

  static constexpr int kInitialWidth = 41;
  static constexpr int kChannelCount = 16;
};
