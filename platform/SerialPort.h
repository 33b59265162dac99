#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <termios.h>

// The serial port behind a settings text such as "COM1:19200,n,8,1", over POSIX termios.
//
// A port is named as on the systems this program also runs on ("COM1" is the machine's first
// serial port, /dev/ttyS0 here). Tests can point a name at another terminal device, a
// pseudo-terminal for instance, through SetDevicePath.

enum class TSerialParity : char { None = 'n', Even = 'e', Odd = 'o', Mark = 'm', Space = 's' };

// The line settings a settings text describes.
struct TSerialSettings {
  std::string Port;  // the name before ':', e.g. "COM1"; empty when the text has none
  int BaudRate = 0;  // bits per second, one of the rates termios knows
  TSerialParity Parity = TSerialParity::None;
  int DataBits = 8;  // 5..8
  int StopBits = 1;  // 1 or 2
};

// Parses "[NAME:]baud,parity,data,stop", e.g. "COM1:19200,n,8,1". Spaces around the fields are
// allowed and the parity letter may be upper or lower case (n, e, o, m, s). Returns nothing and
// puts a reason into *Error (when given) for anything else, among them a rate termios has no
// constant for and 1.5 stop bits, which termios cannot express.
std::optional<TSerialSettings> ParseSerialSettings(std::string_view Text,
                                                   std::string* Error = nullptr);

// The termios speed constant of a rate in bits per second, or nothing when termios has none.
std::optional<speed_t> SerialSpeed(int BaudRate);

// Puts the settings into Attributes for a raw line: the bytes written leave unchanged (no output
// processing, no CR or LF translation), no echo, no flow control, the receiver enabled, modem
// lines ignored. Returns false, leaving Attributes as they were, for settings that
// ParseSerialSettings would not give (an unknown rate, a data width outside 5..8, a stop width
// other than 1 or 2).
bool ApplySerialSettings(const TSerialSettings& Settings, termios& Attributes);

// An open serial device. Writes never block for long: the device stays non-blocking, a write waits
// for room at most WriteTimeout in all, and what has not gone out by then is dropped and counted.
// A line that nothing drains (a stalled modem, a terminal nobody reads) so costs each write at most
// the timeout. Not copyable; closes the device when destroyed.
class TSerialPort {
public:
  static constexpr std::chrono::milliseconds kDefaultWriteTimeout{100};

  TSerialPort() = default;
  ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Opens the port that the settings text names (or the device Port when the text names none),
  // for reading and writing, existing devices only, not shared with other openers, and sets the
  // line from the text. Returns false and leaves the object closed when the text does not parse,
  // the device does not exist or cannot be opened, or the line cannot be set. An open port is
  // closed first.
  bool Open(std::string_view SettingsText, std::string_view Port = {});

  void Close();
  bool IsOpen() const { return FHandle >= 0; }

  // Writes the bytes, waiting while the device takes them, for WriteTimeout at most. Returns true
  // when every byte went out; false when the port is closed, on a write error, or when the time
  // ran out, and then the bytes not written are added to DroppedBytes.
  bool Write(const void* Data, std::size_t Size);
  bool Write(std::string_view Text) { return Write(Text.data(), Text.size()); }

  // The longest a Write waits for the device, all waits together. Negative values count as zero.
  std::chrono::milliseconds GetWriteTimeout() const { return FWriteTimeout; }
  void SetWriteTimeout(std::chrono::milliseconds Value);

  // Bytes given to Write on an open port that never went out (time up or write error), since
  // the object was made.
  std::uint64_t DroppedBytes() const { return FDropped; }

  // The device path a port name stands for: the path set by SetDevicePath, else "COMn" is
  // /dev/ttyS(n-1), and any other name is taken as a path as it is.
  static std::string DevicePath(std::string_view Port);

  // Points a port name at another device path; an empty path restores the default. Meant for
  // tests, which put a pseudo-terminal in place of "COM1". Affects later opens only.
  static void SetDevicePath(std::string_view Port, std::string Path);

private:
  int FHandle = -1;
  std::chrono::milliseconds FWriteTimeout = kDefaultWriteTimeout;
  std::uint64_t FDropped = 0;
};
