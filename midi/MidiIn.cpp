#include "MidiIn.h"

TMidiIn::TMidiIn(QObject* owner)
    : QObject(owner),
      FWake(new QSocketNotifier(MidiInWakeDescriptor(), QSocketNotifier::Read, this)) {
  FWake->setEnabled(false);
  connect(FWake, &QSocketNotifier::activated, this, [this] {
    MidiInAcknowledgeWake();
    emit Arrived();
  });
}

TMidiIn::~TMidiIn() { Close(); }

QStringList TMidiIn::Devices() {
  QStringList names;
  for (const std::string& name : MidiInListDevices()) names << QString::fromStdString(name);
  return names;
}

bool TMidiIn::Open(const QString& device) {
  Close();
  const bool opened = MidiInOpen(device.toStdString());
  if (opened) FDevice = device;
  FWake->setEnabled(opened);
  return opened;
}

void TMidiIn::Close() {
  if (FDevice.isEmpty()) return;
  FWake->setEnabled(false);
  MidiInClose();
  FDevice.clear();
}

TMidiInState TMidiIn::State() const {
  if (FDevice.isEmpty()) return {};
  return MidiInGetState();
}

QString MidiInStatusText(const TMidiInState& state) {
  const QString name = QString::fromStdString(state.Device);
  QString text;
  switch (state.Link) {
    case TMidiInLink::ilOpen:
      text = QStringLiteral("input from %1").arg(name);
      break;
    case TMidiInLink::ilAway:
      text = QStringLiteral("input %1 away").arg(name);
      break;
    case TMidiInLink::ilClosed:
      return {};
  }
  if (state.CutOff > 0) text += QStringLiteral(", %1 cut off").arg(state.CutOff);
  return text;
}
