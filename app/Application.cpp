#include "Application.h"

#include <QMessageBox>
#include <exception>

#include "MainForm.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Halvorine"));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowError(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    ShowError(QStringLiteral("Unknown error"));
  }
  return false;
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

int TApplication::RunMainForm() {
  try {
    TMainForm MainForm;
    MainForm.show();
    exec();
  } catch (const std::exception& e) {
    ShowError(QString::fromLocal8Bit(e.what()));
  }
  return 0;
}
