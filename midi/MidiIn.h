#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include "MidiInService.h"

// The MIDI input port: follows one input device of the input service and tells its owner, on the
// owner's thread, that messages have arrived: the service's wake descriptor is watched by the
// owner's event loop. However many arrive before the owner's thread runs again, Arrived is raised
// once; Take then hands over all of them.
class TMidiIn : public QObject {
  Q_OBJECT

public:
  explicit TMidiIn(QObject* owner = nullptr);
  ~TMidiIn() override;

  // The input devices now, read afresh.
  static QStringList Devices();
  // Follows `device` (also while it is away, until it returns); false when it is not listed now.
  bool Open(const QString& device);
  void Close();
  // The followed device's name; empty while none is.
  QString Device() const { return FDevice; }
  TMidiInState State() const;

  template <typename TTake>
  std::size_t Take(TTake take) {
    return MidiInTake([&](const TMidiInMessage& m) { take(m); });
  }

signals:
  void Arrived();

private:
  QString FDevice;
  QSocketNotifier* FWake = nullptr;
};

// The input's part of the status line: "input from NAME", "input NAME away", each followed by
// ", N cut off" once messages were; empty for none.
QString MidiInStatusText(const TMidiInState& state);
