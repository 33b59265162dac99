#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Application.h"
#include "MainForm.h"

namespace {

// Without a display Qt would abort while creating the application; say so in one line instead.
bool DisplayAvailable() {
  if (std::getenv("QT_QPA_PLATFORM") != nullptr) return true;
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

int main(int argc, char** argv) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr, "halvorine: no display to open the window on (set DISPLAY)\n");
    return 1;
  }
  TApplication app(argc, argv);
  // Errors during start-up are shown and end the program; the event loop's own errors are
  // reported by the application object and the loop goes on.
  try {
    TMainForm MainForm;
    MainForm.show();
    TApplication::exec();
  } catch (const std::exception& e) {
    TApplication::ShowError(QString::fromLocal8Bit(e.what()));
  }
  return 0;
}
