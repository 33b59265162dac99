#include "Application.h"

#include <QMessageBox>
#include <exception>

#include "MainForm.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Halvorine"));
}

namespace {

void Report(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    TApplication::ShowError(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    TApplication::ShowError(QStringLiteral("Unknown error"));
  }
}

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

int TApplication::RunMainForm(const QString& soundSet) {
  try {
    TMainForm MainForm;
    MainForm.show();
    if (!soundSet.isEmpty()) MainForm.OpenSoundSet(soundSet);
    exec();
  } catch (const std::exception& e) {
    ShowError(QString::fromLocal8Bit(e.what()));
  }
  return 0;
}
