#include "MidiIn.h"

TMidiIn::~TMidiIn() { Close(); }

QStringList TMidiIn::Devices() {
  QStringList names;
  for (const std::string& name : MidiInListDevices()) names << QString::fromStdString(name);
  return names;
}

bool TMidiIn::Open(const QString& device) {
  Close();
  // Called on the receiving thread: only posts. The service stops calling it before Close returns,
  // and the port's posted calls go with the port.
  const bool opened = MidiInOpen(device.toStdString(), [this] {
    QMetaObject::invokeMethod(this, &TMidiIn::Arrived, Qt::QueuedConnection);
  });
  if (opened) FDevice = device;
  return opened;
}

void TMidiIn::Close() {
  if (FDevice.isEmpty()) return;
  MidiInClose();
  FDevice.clear();
}

TMidiInState TMidiIn::State() const {
  if (FDevice.isEmpty()) return {};
  return MidiInGetState();
}

QString MidiInStatusText(const TMidiInState& state) {
  const QString name = QString::fromStdString(state.Device);
  switch (state.Link) {
    case TMidiInLink::ilOpen:
      return QStringLiteral("input from %1").arg(name);
    case TMidiInLink::ilAway:
      return QStringLiteral("input %1 away").arg(name);
    case TMidiInLink::ilClosed:
      break;
  }
  return {};
}
