#include "MidiOutComboBox.h"

#include <cstring>

#include "MidiOutService.h"

TMidiOutComboBox::TMidiOutComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(false);
  resize(kInitialWidth, sizeHint().height());
  FillDevices();
}

void TMidiOutComboBox::SetDeviceID(int deviceID) {
  setCurrentIndex(deviceID >= 0 && deviceID < count() ? deviceID : -1);
}

void TMidiOutComboBox::FillDevices() {
  clear();
  const UINT n = midiOutGetNumDevs();
  for (UINT i = 0; i < n; ++i) {
    // A device whose capabilities cannot be read still takes its place, with an empty name, so
    // that item i keeps naming device i.
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR) caps.szPname[0] = '\0';
    addItem(QString::fromUtf8(caps.szPname,
                              static_cast<qsizetype>(strnlen(caps.szPname, MAXPNAMELEN))));
  }
  setCurrentIndex(count() > 0 ? 0 : -1);
}
