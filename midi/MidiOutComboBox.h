#pragma once

#include <QComboBox>

// A drop-down list of the MIDI output service's devices by name; item i names device i, so the
// selected index is the device number a port opens.
class TMidiOutComboBox : public QComboBox {
  Q_OBJECT
  Q_PROPERTY(int DeviceID READ DeviceID WRITE SetDeviceID)

public:
  explicit TMidiOutComboBox(QWidget* parent = nullptr);

  // The selected device number; -1 when nothing is selected.
  int DeviceID() const { return currentIndex(); }
  // Selects item `deviceID`; a number with no item leaves nothing selected.
  void SetDeviceID(int deviceID);

  // Reads the device list afresh into the items and selects the first (nothing when there are no
  // devices). Runs at construction; devices that come or go later show after the next call.
  void FillDevices();

  static constexpr int kInitialWidth = 185;
};
