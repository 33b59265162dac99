#include "MidiOutStatus.h"

#include "MidiOut.h"

QString MidiOutErrorName(int code) {
  switch (code) {
    case MMSYSERR_ERROR:
      return QStringLiteral("device error");
    case MMSYSERR_BADDEVICEID:
      return QStringLiteral("no such device");
    case MMSYSERR_ALLOCATED:
      return QStringLiteral("device already in use");
    case MMSYSERR_INVALHANDLE:
      return QStringLiteral("port not open");
    case MMSYSERR_NOMEM:
      return QStringLiteral("no memory");
    case MIDIERR_NOTREADY:
      return QStringLiteral("server not answering");
    case MIDIERR_NODEVICE:
      return QStringLiteral("device has gone");
    case TMidiOut::kErrorOpenTimeout:
      return QStringLiteral("device did not open within 5 s");
    default:
      return QStringLiteral("error");
  }
}

QString ClockTempoText(double bpm) {
  // 'f' with two decimals, then the zeros a whole or half tempo does not need.
  QString number = QString::number(bpm, 'f', 2);
  while (number.endsWith(QLatin1Char('0'))) number.chop(1);
  if (number.endsWith(QLatin1Char('.'))) number.chop(1);
  return QStringLiteral("%1 BPM").arg(number);
}

QString MidiOutStatusText(const TMidiOutStatus& status) {
  const TMidiOutState& s = status.State;
  const QString device = QString::fromStdString(s.Device);
  QString text;
  switch (s.Link) {
    case TMidiLink::mlClosed:
      text = QStringLiteral("MIDI closed");
      break;
    case TMidiLink::mlOpening:
      text = QStringLiteral("MIDI opening %1").arg(device);
      break;
    case TMidiLink::mlOpen:
      text = QStringLiteral("MIDI open on %1").arg(device);
      break;
    case TMidiLink::mlWaiting:
      text = QStringLiteral("MIDI waiting for %1 to return").arg(device);
      break;
  }
  if (s.Link != TMidiLink::mlClosed && s.Queued > 0) {
    text += QStringLiteral(", %1 queued").arg(s.Queued);
  }
  // A closed port shows what its close dropped, when it dropped anything.
  if (s.Dropped > 0) text += QStringLiteral(", %1 dropped").arg(s.Dropped);
  if (s.TransportDropped > 0) {
    text += QStringLiteral(", %1 transport dropped").arg(s.TransportDropped);
  }
  if (s.ClockRunning && s.ClockBpm > 0) {
    text += QStringLiteral(" \u00B7 clock ") + ClockTempoText(s.ClockBpm);
  }
  if (status.ErrorCode != 0 || !status.ErrorText.empty()) {
    const QString what = status.ErrorText.empty() ? MidiOutErrorName(status.ErrorCode)
                                                  : QString::fromStdString(status.ErrorText);
    text += status.ErrorCode != 0
                ? QStringLiteral(" - last error: %1 (code %2)").arg(what).arg(status.ErrorCode)
                : QStringLiteral(" - last error: %1").arg(what);
  }
  return text;
}
