#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Application.h"

namespace {

// True when a local X server answers at DISPLAY ":N" (its socket, on the file system or in the
// abstract namespace). Remote displays and other platforms are left for Qt to judge.
bool LocalXServerAnswers(const std::string& display) {
  if (display.empty() || display[0] != ':') return true;
  const std::string number = display.substr(1, display.find('.') - 1);
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (const bool abstract : {false, true}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;  // the abstract name starts with a NUL
    std::memcpy(address.sun_path + offset, path.c_str(),
                std::min(path.size(), sizeof address.sun_path - 1 - offset));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const bool answered = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    close(fd);
    if (answered) return true;
  }
  return false;
}

// Without a display Qt would abort while creating the application; say so in one line instead.
bool DisplayAvailable() {
  if (std::getenv("QT_QPA_PLATFORM") != nullptr) return true;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland != nullptr && *wayland != '\0') return true;
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0' && LocalXServerAnswers(display);
}

}  // namespace

int main(int argc, char** argv) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr,
                 "halvorine: no display to open the window on (DISPLAY is unset or does "
                 "not answer)\n");
    return 1;
  }
  TApplication app(argc, argv);
  // The first argument that is not an option names a sound set to open.
  QString soundSet;
  const QStringList arguments = QCoreApplication::arguments();
  for (qsizetype i = 1; i < arguments.size() && soundSet.isEmpty(); ++i) {
    if (!arguments[i].startsWith('-')) soundSet = arguments[i];
  }
  return app.RunMainForm(soundSet);
}
