#pragma once

#include <QComboBox>

#include <memory>
#include <string>
#include <vector>

// A drop-down list of the MIDI output service's devices by name; item i names device i, so the
// selected index is the device number a port opens.
//
// The list is read on the service's worker, never on the caller's thread: the picker is made
// empty, asks for the list once its window has first painted (or, when it is not shown, once
// events run, or when DeviceID is read), and fills itself as soon as the list is in
// (DevicesListed is raised then). It is read again each
// time the user opens the drop-down; the selected device stays selected by name.
class TMidiOutComboBox : public QComboBox {
  Q_OBJECT
  Q_PROPERTY(int DeviceID READ DeviceID WRITE SetDeviceID)

public:
  explicit TMidiOutComboBox(QWidget* parent = nullptr);
  ~TMidiOutComboBox() override;

  // The selected device number; -1 when nothing is selected. A list still being read is waited
  // for first (at most the service's answer wait), so a choice made early is not lost.
  int DeviceID() const;
  // Selects item `deviceID` (of the list still being read, if any); a number with no item leaves
  // nothing selected.
  void SetDeviceID(int deviceID);
  // Selects the device listed under exactly `name`, waiting for a list still being read (at most
  // the service's answer wait); false, with the selection left as it was, when none is.
  bool SelectDeviceName(const QString& name);

  // Reads the device list now, waiting for the service (at most its answer wait), into the items,
  // and selects the first (nothing when there are no devices).
  void FillDevices();
  // Asks for the list; it is applied once in, keeping the selected device when `keepSelection`.
  void RequestDevices(bool keepSelection);
  // True once the list asked for last has been applied.
  bool Listed() const;

  void showPopup() override;

protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

  static constexpr int kInitialWidth = 185;

signals:
  void DevicesListed();

private:
  struct TPending;
  // Asks for the list unless it has been asked for already.
  void AskOnce();
  // Waits for a list still being read (at most the service's answer wait) and applies it.
  void AwaitList();
  // Applies the list that came in, if it has not been applied yet.
  void ApplyPending();
  void Apply(const std::vector<std::string>& names, bool keepSelection);

  std::shared_ptr<TPending> FPending;
  bool FWatchingPaint = false;
};
