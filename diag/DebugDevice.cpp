#include "DebugDevice.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SerialPort.h"

namespace {

// The class-wide state. The file, the port and the monitor stay open until the process ends.
TDebugMedia FMedia = dmNull;
bool FOpened = false;
std::FILE* FLogFile = nullptr;  // closed, and so flushed, by the C library at exit
TSerialPort FPort;
// Released when the application object goes, while the bus connection can still be torn down
// properly; without an application object it lives until the process ends.
TOleObject* FMonitor = nullptr;
std::string FLogFolder;  // empty: the executable's folder

void ReleaseMonitor() {
  delete FMonitor;
  FMonitor = nullptr;
}

std::string ExecutableFolder() {
  if (QCoreApplication::instance()) {
    return QCoreApplication::applicationDirPath().toStdString();
  }
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string();
}

// Creates or empties the log file for writing. A symbolic link in its place is refused rather than
// followed, so the log never truncates a file it was pointed at; so is anything but a regular
// file (a FIFO nobody reads would block the open or every write). The descriptor is not passed
// on to programs this one starts.
std::FILE* OpenLogFile(const std::string& path) {
  if (path.empty()) return nullptr;
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) != 0 ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  // Binary mode: the lines already end in CR LF and must reach the file as they are.
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) ::close(fd);
  return file;
}

QString FromView(std::string_view text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TDebugDevice::TDebugDevice(QObject* Owner) : QObject(Owner) {}

TDebugDevice::~TDebugDevice() = default;

TDebugMedia TDebugDevice::GetMedia() const { return FMedia; }

void TDebugDevice::SetMedia(TDebugMedia Value) {
  if (FOpened || Value > dmSerial) return;
  FMedia = Value;
}

bool TDebugDevice::GetOpened() { return FOpened; }

std::uint64_t TDebugDevice::GetSerialDropped() { return FPort.DroppedBytes(); }

void TDebugDevice::SetLogFolder(std::string Folder) { FLogFolder = std::move(Folder); }

std::string TDebugDevice::LogFolder() {
  return FLogFolder.empty() ? ExecutableFolder() : FLogFolder;
}

std::string TDebugDevice::LogFilePath() {
  std::string path = LogFolder();
  if (path.empty()) return {};
  if (path.back() != '/') path += '/';
  path += kDebugLogFileName;
  return path;
}

void TDebugDevice::Open() {
  if (FOpened) return;
  switch (FMedia) {
    case dmNull:
      FOpened = true;
      break;
    case dmFile: {
      std::FILE* file = OpenLogFile(LogFilePath());
      if (file) {
        FLogFile = file;
        FOpened = true;
      }
      break;
    }
    case dmWindow: {
      // Throws EOleError before anything changes.
      std::unique_ptr<TOleObject> monitor =
          TOleObject::Create(QString::fromLatin1(kDebugMonitorProgId));
      FMonitor = monitor.release();
      if (QCoreApplication::instance()) qAddPostRoutine(ReleaseMonitor);
      FOpened = true;
      break;
    }
    case dmSerial:
      FOpened = FPort.Open(kDebugSerialSettings, kDebugSerialPort);
      break;
  }
  WriteLn(kDebugBannerRule);
  WriteLn(kDebugBannerTitle);
  WriteLn(kDebugBannerRule);
}

void TDebugDevice::Write(std::string_view Text) {
  if (!FOpened) return;
  switch (FMedia) {
    case dmNull:
      break;
    case dmFile:
      std::fwrite(Text.data(), 1, Text.size(), FLogFile);
      std::fflush(FLogFile);
      break;
    case dmWindow:
      // Sent without waiting for the monitor, so that a hung monitor cannot stall the caller;
      // a monitor that is gone loses the entry, the next one tries again.
      if (FMonitor) FMonitor->Post(QString::fromLatin1(kDebugMonitorMethod), {FromView(Text)});
      break;
    case dmSerial:
      FPort.Write(Text);
      break;
  }
}

void TDebugDevice::WriteLn(std::string_view Text) {
  std::string line;
  line.reserve(Text.size() + kDebugLineEnd.size());
  line.append(Text);
  line.append(kDebugLineEnd);
  Write(line);
}

void TDebugDevice::WriteLn(std::int32_t Value) { WriteLn(std::to_string(Value)); }
