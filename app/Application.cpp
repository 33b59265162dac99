#include "Application.h"

#include <QMessageBox>
#include <cstdio>
#include <exception>

#include "CommandLine.h"
#include "HalvorineVersion.h"
#include "MainForm.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Halvorine"));
  setApplicationVersion(QLatin1String(kHalvorineVersion));
  // Ties the window to the installed desktop entry (its icon, and the application id on Wayland).
  setDesktopFileName(QStringLiteral("org.halvorine.Halvorine"));
}

namespace {

QString ErrorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromLocal8Bit(e.what());
  } catch (...) {
    return QStringLiteral("Unknown error");
  }
}

void Report(std::exception_ptr error) { TApplication::ShowError(ErrorText(error)); }

}  // namespace

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    Report(std::current_exception());
  }
  return false;
}

void TApplication::Dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    Report(std::current_exception());
  }
}

namespace {
std::function<void(const QString&)> ErrorSink;
}

void TApplication::SetErrorSink(std::function<void(const QString&)> sink) {
  ErrorSink = std::move(sink);
}

void TApplication::ShowError(const QString& text) {
  if (ErrorSink) {
    ErrorSink(text);
    return;
  }
  QMessageBox::critical(activeWindow(), applicationName(), text);
}

int TApplication::RunMainForm(const QString& device, const QString& soundSet) {
  try {
    TMainForm MainForm;
    if (!device.isEmpty() && !MainForm.SelectDeviceByName(device)) {
      std::fprintf(stderr, "halvorine: --device: no MIDI output device named '%s'\n",
                   qUtf8Printable(device));
    }
    MainForm.show();
    MainForm.KeepOnScreen();
    if (!soundSet.isEmpty()) MainForm.OpenSoundSet(soundSet);
    exec();
  } catch (...) {
    const QString text = ErrorText(std::current_exception());
    std::fprintf(stderr, "halvorine: %s\n", qUtf8Printable(text));
    ShowError(text);
    return kExitStartFailed;
  }
  return 0;
}
