#include "ChannelComboBox.h"

TChannelComboBox::TChannelComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(false);
  resize(kInitialWidth, sizeHint().height());
  for (int channel = 1; channel <= kChannelCount; ++channel) addItem(QString::number(channel));
  setCurrentIndex(0);
}

void TChannelComboBox::SetChannel(int channel) {
  setCurrentIndex(channel >= 1 && channel <= kChannelCount ? channel - 1 : -1);
}
