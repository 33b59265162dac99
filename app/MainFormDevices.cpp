// The main window's memory of its MIDI devices across runs: the output opened last is opened
// again at the next start, or waited for while it is not there, as a device that went away is;
// a remembered input that is not there at start is followed once it appears. No control of the
// layout is added or moved, and a run with nothing remembered starts as it always has.
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "ErrorBoundary.h"
#include "MainForm.h"
#include "MidiOutComboBox.h"
#include "MidiOutService.h"
#include "UserSettings.h"
#include "ui_MainForm.h"

namespace {

constexpr const char* kOutputKey = "MidiOutput";
// How often the device lists are read while a remembered device is awaited.
constexpr int kLookMilliseconds = 1000;

}  // namespace

void TMainForm::RememberOutput(const QString& name) {
  if (!name.isEmpty()) UserSettings().setValue(QString::fromLatin1(kOutputKey), name);
}

void TMainForm::RestoreOutput() {
  const QString name = UserSettings().value(QString::fromLatin1(kOutputKey)).toString();
  if (name.isEmpty()) return;
  if (SelectDeviceByName(name)) {
    TErrorBoundary::Dispatch([this] { OpenButtonClick(ui->OpenButton); });
    return;
  }
  FAwaitedOutput = name;
  LookForAwaitedDevices();
}

void TMainForm::AwaitInput(const QString& name) {
  FAwaitedInput = name;
  LookForAwaitedDevices();
}

void TMainForm::LookForAwaitedDevices() {
  if (FAwaitTimer == nullptr) {
    FAwaitTimer = new QTimer(this);
    FAwaitTimer->setInterval(kLookMilliseconds);
    connect(FAwaitTimer, &QTimer::timeout, this, &TMainForm::LookForAwaitedDevices);
  }
  // A device the user chose in the meantime ends the wait.
  if (FMidiOut->IsOpen()) FAwaitedOutput.clear();
  if (!FMidiIn->Device().isEmpty()) FAwaitedInput.clear();
  if (!FAwaitedInput.isEmpty() && TMidiIn::Devices().contains(FAwaitedInput)) {
    SelectInputByName(std::exchange(FAwaitedInput, QString()));
  }
  if (!FAwaitedOutput.isEmpty()) {
    // The list is read on the service's worker; the picker is refreshed only once the device is
    // there, so that a choice in it is never undone meanwhile.
    MidiOutListDevicesAsync([form = QPointer<TMainForm>(this)](std::vector<std::string> names) {
      QMetaObject::invokeMethod(
          form.data(),
          [form, names = std::move(names)] {
            if (form.isNull() || form->FAwaitedOutput.isEmpty() || form->FMidiOut->IsOpen()) return;
            const std::string awaited = form->FAwaitedOutput.toStdString();
            if (std::find(names.begin(), names.end(), awaited) == names.end()) return;
            form->ui->MidiOutComboBox->RequestDevices(true);
            if (!form->SelectDeviceByName(form->FAwaitedOutput)) return;
            form->FAwaitedOutput.clear();
            TErrorBoundary::Dispatch([&] { form->OpenButtonClick(form->ui->OpenButton); });
          },
          Qt::QueuedConnection);
    });
  }
  if (FAwaitedOutput.isEmpty() && FAwaitedInput.isEmpty()) {
    FAwaitTimer->stop();
  } else if (!FAwaitTimer->isActive()) {
    FAwaitTimer->start();
  }
  UpdateMidiStatus();
}
