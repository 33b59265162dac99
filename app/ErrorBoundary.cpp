#include "ErrorBoundary.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace {
std::function<void(const QString&)> ErrorSink;
bool ErrorsToStandardError = false;
}  // namespace

QString TErrorBoundary::ErrorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return QString::fromLocal8Bit(e.what());
  } catch (...) {
    return QStringLiteral("Unknown error");
  }
}

void TErrorBoundary::Dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ShowError(ErrorText(std::current_exception()));
  }
}

void TErrorBoundary::SetErrorSink(std::function<void(const QString&)> sink) {
  ErrorSink = std::move(sink);
}

void TErrorBoundary::SetAlsoToStandardError(bool also) { ErrorsToStandardError = also; }

void TErrorBoundary::ShowError(const QString& text) {
  if (ErrorsToStandardError) std::fprintf(stderr, "halvorine: %s\n", qUtf8Printable(text));
  if (ErrorSink) {
    ErrorSink(text);
    return;
  }
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), text);
}
