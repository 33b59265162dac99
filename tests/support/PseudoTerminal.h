#pragma once

// A pseudo-terminal pair for serial tests: the code under test opens the terminal side by its
// path, the test reads what arrives on the controlling side.

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace halvorine_test {

class TPseudoTerminal {
public:
  TPseudoTerminal() {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) return;
    if (const char* name = ::ptsname(FMaster)) FPath = name;
  }
  ~TPseudoTerminal() {
    if (FMaster >= 0) ::close(FMaster);
  }
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;

  bool IsValid() const { return FMaster >= 0 && !FPath.empty(); }
  // The terminal side, e.g. /dev/pts/3.
  const std::string& Path() const { return FPath; }
  // The line settings; both sides share one set.
  bool Attributes(termios& t) const { return ::tcgetattr(FMaster, &t) == 0; }

  // Reads until `size` bytes have arrived or nothing came for timeoutMs.
  std::string Read(std::size_t size, int timeoutMs = 3000) {
    std::string out;
    char buffer[256];
    while (out.size() < size) {
      pollfd p{FMaster, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      const ssize_t n = ::read(FMaster, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

private:
  int FMaster = -1;
  std::string FPath;
};

}  // namespace halvorine_test
