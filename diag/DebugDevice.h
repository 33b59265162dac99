#pragma once

#include <QObject>

#include <cstdint>
#include <string>
#include <string_view>

#include "OleObject.h"  // EOleError, which Open throws for the monitor

// The diagnostics log. It writes to one of four media, chosen by Media before the log opens:
// nowhere, the file "Debug.txt" beside the executable, the debug monitor (the automation object
// "Tessaly.Ole", whose method "Write" takes each text), or the serial port "COM1" at 19200 baud,
// no parity, 8 data bits, 1 stop bit.
//
// All state is class-wide: every instance shares the medium, the open state and the open file,
// port or monitor. The log opens at most once per process and never closes; destroying an
// instance neither closes nor writes anything. The log reports none of its own failures, except
// that Open throws when the monitor is not there.
//
// Texts are 8-bit. The file and the port receive their bytes unchanged, lines ending in CR LF;
// the monitor receives each text as a string read in the system's 8-bit encoding.
//
// No write waits long for its medium. The monitor is sent each text without waiting for an answer,
// so a monitor that hangs costs nothing, and receives what was written meanwhile once it runs
// again. A write to the port waits at most 100 ms for room; what has not gone out by then is
// dropped and counted (GetSerialDropped).
//
// Everything runs on the interface thread; the class-wide state has no lock.
class TDebugDevice : public QObject {
  Q_OBJECT
  Q_PROPERTY(TDebugMedia Media READ GetMedia WRITE SetMedia)

public:
  enum TDebugMedia : std::uint8_t {
    dmNull = 0,    // open, but every write goes nowhere
    dmFile = 1,    // "Debug.txt" in the log folder
    dmWindow = 2,  // the debug monitor "Tessaly.Ole"
    dmSerial = 3,  // the serial port "COM1"
  };
  Q_ENUM(TDebugMedia)

  explicit TDebugDevice(QObject* Owner = nullptr);
  ~TDebugDevice() override;

  TDebugMedia GetMedia() const;
  // Takes effect only while the log is closed; once it is open the medium stays, and a value
  // that names no medium is ignored.
  void SetMedia(TDebugMedia Value);

  // Opens the chosen medium, once per process, then writes the three banner lines. After a
  // successful open, further calls do nothing. When the file or the port cannot be opened the
  // log stays closed, the banner goes nowhere and a later Open tries again.
  // The file is created or emptied; a symbolic link or anything but a regular file in its place
  // counts as a file that cannot be opened.
  // Throws EOleError, leaving the log closed and writing nothing, when the medium is the monitor
  // and the session bus or the monitor is not there (or the program has no QCoreApplication,
  // which the bus needs). Asking the bus for the monitor waits one second at most.
  void Open();

  // Writes exactly these bytes; does nothing while the log is closed. The file is flushed after
  // every write, so a crash loses no entry. A text the monitor cannot take (it is gone) is
  // dropped; the next write tries again.
  void Write(std::string_view Text);
  // The text followed by CR LF, in one write.
  void WriteLn(std::string_view Text);
  // The value in decimal ("-12"), followed by CR LF.
  void WriteLn(std::int32_t Value);

  // Whether the log is open (class-wide).
  static bool GetOpened();
  // Bytes the serial port did not take in time and the log dropped (class-wide).
  static std::uint64_t GetSerialDropped();

  // The folder that holds "Debug.txt": the running executable's folder unless SetLogFolder set
  // another. An empty folder restores the default. The command line sets it (--log-dir, or the
  // user's state folder when the executable's cannot be written to), and tests use it so as not
  // to share one log file between test processes; it affects later opens only.
  static void SetLogFolder(std::string Folder);
  static std::string LogFolder();
  // LogFolder with a trailing separator, followed by "Debug.txt".
  static std::string LogFilePath();
};

using TDebugMedia = TDebugDevice::TDebugMedia;
using enum TDebugDevice::TDebugMedia;

// The texts of the log's media and banner.
inline constexpr std::string_view kDebugLogFileName = "Debug.txt";
inline constexpr std::string_view kDebugSerialPort = "COM1";
inline constexpr std::string_view kDebugSerialSettings = "COM1:19200,n,8,1";
inline constexpr std::string_view kDebugMonitorProgId = "Tessaly.Ole";
inline constexpr std::string_view kDebugMonitorMethod = "Write";
inline constexpr std::string_view kDebugLineEnd = "\r\n";
inline constexpr std::string_view kDebugBannerRule = "**************************";
inline constexpr std::string_view kDebugBannerTitle = "* Start of debug session *";
