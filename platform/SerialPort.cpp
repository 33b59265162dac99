#include "SerialPort.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct TSpeed {
  int Rate;
  speed_t Constant;
};

constexpr TSpeed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<int> ParseInt(std::string_view s) {
  int value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::optional<TSerialSettings> Fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
  return std::nullopt;
}

// Port names are case-blind, as on the systems where "COM1" comes from.
std::map<std::string, std::string>& DeviceOverrides() {
  static std::map<std::string, std::string> overrides;
  return overrides;
}

std::mutex& DeviceOverridesLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

std::optional<speed_t> SerialSpeed(int BaudRate) {
  for (const auto& s : kSpeeds) {
    if (s.Rate == BaudRate) return s.Constant;
  }
  return std::nullopt;
}

std::optional<TSerialSettings> ParseSerialSettings(std::string_view Text, std::string* Error) {
  TSerialSettings settings;
  std::string_view rest = Text;
  if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    settings.Port = std::string(Trim(rest.substr(0, colon)));
    if (settings.Port.empty()) return Fail(Error, "empty port name before ':'");
    rest.remove_prefix(colon + 1);
  }

  std::vector<std::string_view> fields;
  while (true) {
    const auto comma = rest.find(',');
    fields.push_back(Trim(rest.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (fields.size() != 4) {
    return Fail(Error, "expected four fields: baud,parity,data,stop");
  }

  const auto baud = ParseInt(fields[0]);
  if (!baud || !SerialSpeed(*baud)) {
    return Fail(Error, "unsupported baud rate '" + std::string(fields[0]) + "'");
  }
  settings.BaudRate = *baud;

  if (fields[1].size() != 1) {
    return Fail(Error, "parity must be one of n, e, o, m, s");
  }
  switch (std::tolower(static_cast<unsigned char>(fields[1][0]))) {
    case 'n':
      settings.Parity = TSerialParity::None;
      break;
    case 'e':
      settings.Parity = TSerialParity::Even;
      break;
    case 'o':
      settings.Parity = TSerialParity::Odd;
      break;
    case 'm':
      settings.Parity = TSerialParity::Mark;
      break;
    case 's':
      settings.Parity = TSerialParity::Space;
      break;
    default:
      return Fail(Error, "parity must be one of n, e, o, m, s");
  }

  const auto data = ParseInt(fields[2]);
  if (!data || *data < 5 || *data > 8) {
    return Fail(Error, "data bits must be 5 to 8");
  }
  settings.DataBits = *data;

  const auto stop = ParseInt(fields[3]);
  if (!stop || (*stop != 1 && *stop != 2)) {
    return Fail(Error, "stop bits must be 1 or 2");
  }
  settings.StopBits = *stop;
  return settings;
}

bool ApplySerialSettings(const TSerialSettings& Settings, termios& Attributes) {
  const auto speed = SerialSpeed(Settings.BaudRate);
  if (!speed || Settings.DataBits < 5 || Settings.DataBits > 8 ||
      (Settings.StopBits != 1 && Settings.StopBits != 2)) {
    return false;
  }
#ifndef CMSPAR
  if (Settings.Parity == TSerialParity::Mark || Settings.Parity == TSerialParity::Space) {
    return false;
  }
#endif

  termios t = Attributes;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

  tcflag_t clear = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CRTSCTS
  clear |= CRTSCTS;
#endif
#ifdef CMSPAR
  clear |= CMSPAR;
#endif
  t.c_cflag &= ~clear;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[Settings.DataBits - 5] | CLOCAL | CREAD;
  if (Settings.StopBits == 2) t.c_cflag |= CSTOPB;
  switch (Settings.Parity) {
    case TSerialParity::None:
      break;
    case TSerialParity::Even:
      t.c_cflag |= PARENB;
      break;
    case TSerialParity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
#ifdef CMSPAR
    case TSerialParity::Mark:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case TSerialParity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
#else
    default:
      break;
#endif
  }
  if (Settings.Parity != TSerialParity::None) t.c_iflag |= INPCK;

  // A read returns what has arrived without waiting; the log only writes.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, *speed) != 0 || cfsetospeed(&t, *speed) != 0) return false;
  Attributes = t;
  return true;
}

TSerialPort::~TSerialPort() { Close(); }

void TSerialPort::Close() {
  if (FHandle >= 0) {
    ::close(FHandle);
    FHandle = -1;
  }
}

bool TSerialPort::Open(std::string_view SettingsText, std::string_view Port) {
  Close();
  const auto settings = ParseSerialSettings(SettingsText);
  if (!settings) return false;
  const std::string path = DevicePath(settings->Port.empty() ? Port : settings->Port);
  if (path.empty()) return false;

  // O_NONBLOCK keeps the open from waiting for carrier on a modem line and stays on, so that a
  // line nothing drains can never block a write. O_NOCTTY keeps the port from becoming our
  // terminal.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;

  termios attributes{};
  bool ok = ::isatty(fd) && ::tcgetattr(fd, &attributes) == 0 &&
            ApplySerialSettings(*settings, attributes) &&
            ::tcsetattr(fd, TCSANOW, &attributes) == 0;
  // Exclusive use: further opens of the device fail (except for a privileged opener).
  ok = ok && ::ioctl(fd, TIOCEXCL) == 0;
  if (!ok) {
    ::close(fd);
    return false;
  }
  FHandle = fd;
  return true;
}

void TSerialPort::SetWriteTimeout(std::chrono::milliseconds Value) {
  FWriteTimeout = std::max(Value, std::chrono::milliseconds::zero());
}

bool TSerialPort::Write(const void* Data, std::size_t Size) {
  if (FHandle < 0) return false;
  using TClock = std::chrono::steady_clock;
  const TClock::time_point deadline = TClock::now() + FWriteTimeout;
  const auto* p = static_cast<const char*>(Data);
  while (Size > 0) {
    const ssize_t n = ::write(FHandle, p, Size);
    if (n > 0) {
      p += n;
      Size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    // The device is full: wait for room, but only until the deadline.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now()).count();
    if (left <= 0) break;
    pollfd wait{FHandle, POLLOUT, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
        (wait.revents & POLLOUT) == 0) {
      break;
    }
  }
  FDropped += Size;
  return Size == 0;
}

std::string TSerialPort::DevicePath(std::string_view Port) {
  const std::string key = Upper(Trim(Port));
  {
    std::lock_guard guard(DeviceOverridesLock());
    const auto& overrides = DeviceOverrides();
    if (const auto it = overrides.find(key); it != overrides.end()) return it->second;
  }
  if (key.size() > 3 && key.compare(0, 3, "COM") == 0) {
    const auto number = ParseInt(std::string_view(key).substr(3));
    if (number && *number >= 1) return "/dev/ttyS" + std::to_string(*number - 1);
  }
  return std::string(Trim(Port));
}

void TSerialPort::SetDevicePath(std::string_view Port, std::string Path) {
  const std::string key = Upper(Trim(Port));
  std::lock_guard guard(DeviceOverridesLock());
  if (Path.empty()) {
    DeviceOverrides().erase(key);
  } else {
    DeviceOverrides()[key] = std::move(Path);
  }
}
