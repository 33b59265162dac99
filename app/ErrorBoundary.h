#pragma once

#include <QString>
#include <exception>
#include <functional>

// Where an error that leaves a command ends: it is shown to the user and the event loop goes on,
// so that one failed command never ends a live set. Knows no window of the program's own; every
// file of app/ may use it, and it uses none of them.
class TErrorBoundary {
public:
  // Runs an event handler; an error it raises is shown with ShowError and goes no further.
  // Handlers are entered through here so that no error unwinds through the toolkit's frames.
  static void Dispatch(const std::function<void()>& handler);

  // Shows an error's text to the user in a modal message box, or hands it to the sink set with
  // SetErrorSink (for unattended runs, such as tests that must never block on a dialog). While
  // SetAlsoToStandardError(true), the text goes to standard error as well.
  static void ShowError(const QString& text);
  static void SetErrorSink(std::function<void(const QString&)> sink);
  static void SetAlsoToStandardError(bool also);

  // The text of an error caught as `error`.
  static QString ErrorText(std::exception_ptr error);
};
