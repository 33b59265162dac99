#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageLogContext>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "Application.h"
#include "CommandLine.h"
#include "DebugDevice.h"
#include "MidiOutService.h"
#include "SystemMidiBackend.h"

namespace {

void PrintLine(std::FILE* stream, const QString& text) {
  std::fprintf(stream, "halvorine: %s\n", qUtf8Printable(text));
}

std::string ExecutableFolder() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : exe.parent_path().string();
}

// What Qt says while the application object is made is held back: when no platform can be
// opened Qt reports it in several lines and then aborts, where the user should get one line and
// exit code 1. When the object is made, the held messages go out as they would have.
struct THeldMessage {
  QtMsgType Type;
  QByteArray Category;
  QString Text;
};
std::vector<THeldMessage> HeldMessages;

// Platform plugins and the libraries under them (a Wayland client with no XDG_RUNTIME_DIR, say)
// write to standard error themselves while the application object is made. That output is held
// in a file as well and goes out only once the object is made; when no display can be opened the
// user sees the program's one line alone.
int RealStandardError = -1;
std::FILE* HeldStandardError = nullptr;

void HoldStandardError() {
  std::fflush(stderr);
  HeldStandardError = std::tmpfile();
  if (HeldStandardError == nullptr) return;
  RealStandardError = ::dup(STDERR_FILENO);
  if (RealStandardError < 0 || ::dup2(::fileno(HeldStandardError), STDERR_FILENO) < 0) {
    std::fclose(HeldStandardError);
    HeldStandardError = nullptr;
  }
}

// Puts standard error back; `replay`: what was held goes out first.
void ReleaseStandardError(bool replay) {
  if (HeldStandardError == nullptr) return;
  std::fflush(stderr);
  ::dup2(RealStandardError, STDERR_FILENO);
  ::close(RealStandardError);
  if (replay) {
    std::rewind(HeldStandardError);
    char buffer[4096];
    size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, HeldStandardError)) > 0) {
      std::fwrite(buffer, 1, read, stderr);
    }
    std::fflush(stderr);
  }
  std::fclose(HeldStandardError);
  HeldStandardError = nullptr;
}

void HoldStartUpMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    HeldMessages.push_back({type, context.category, message});
    return;
  }
  // The last warning names what failed ("could not connect to display :99", "Could not find the
  // Qt platform plugin ..."); the fatal text itself is a paragraph of advice.
  QString reason = message.section(QLatin1Char('\n'), 0, 0);
  for (auto held = HeldMessages.rbegin(); held != HeldMessages.rend(); ++held) {
    if (held->Type == QtWarningMsg || held->Type == QtCriticalMsg) {
      reason = held->Text.section(QLatin1Char('\n'), 0, 0);
      break;
    }
  }
  ReleaseStandardError(false);
  PrintLine(stderr, QStringLiteral("cannot open the display: %1").arg(reason.trimmed()));
  std::fflush(stderr);
  // Nothing is open yet that an exit would have to finish, and Qt's state is half made.
  std::_Exit(kExitStartFailed);
}

void ReleaseStartUpMessages() {
  qInstallMessageHandler(nullptr);
  for (const THeldMessage& held : HeldMessages) {
    const QMessageLogger logger(nullptr, 0, nullptr, held.Category.constData());
    switch (held.Type) {
      case QtDebugMsg:
        logger.debug("%s", qUtf8Printable(held.Text));
        break;
      case QtInfoMsg:
        logger.info("%s", qUtf8Printable(held.Text));
        break;
      case QtWarningMsg:
        logger.warning("%s", qUtf8Printable(held.Text));
        break;
      default:
        logger.critical("%s", qUtf8Printable(held.Text));
    }
  }
  HeldMessages.clear();
}

// Sets the log's medium and, for the file, its folder. Says why and returns the exit code when
// --log-dir names a folder that cannot be used (a bad value) or Debug.txt cannot be opened there
// (the program cannot start as asked); 0 otherwise.
int PrepareLog(const TCommandLine& line) {
  if (line.LogMedia == dmFile) {
    const TLogFolder folder =
        ChooseLogFolder(line.LogDir, QString::fromStdString(ExecutableFolder()),
                        qEnvironmentVariable("XDG_STATE_HOME"), QDir::homePath());
    if (folder.Folder.isEmpty() && !line.LogDir.isEmpty()) {
      PrintLine(stderr, QStringLiteral("--log-dir: %1 (see halvorine --help)").arg(folder.Error));
      return kExitBadArgument;
    }
    if (folder.Folder.isEmpty()) {
      PrintLine(stderr,
                QStringLiteral("no folder for the log: %1; it stays closed").arg(folder.Error));
    } else {
      TDebugDevice::SetLogFolder(folder.Folder.toStdString());
      const std::string path = TDebugDevice::LogFilePath();
      const QString file = QString::fromStdString(path);
      // The log itself takes only a regular file; anything else in its place is said here,
      // before a success line could claim otherwise.
      const int fd =
          ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
      struct stat info {};
      const int error = fd < 0 ? errno : (::fstat(fd, &info) != 0 ? errno : 0);
      if (fd >= 0) ::close(fd);
      if (error != 0 || !S_ISREG(info.st_mode)) {
        const QString reason = error == ELOOP    ? QStringLiteral("it is a symbolic link")
                               : error == EISDIR ? QStringLiteral("it is a folder")
                               : error != 0      ? QString::fromLocal8Bit(std::strerror(error))
                                                 : QStringLiteral("it is not a regular file");
        PrintLine(stderr, QStringLiteral("cannot open the log file %1: %2").arg(file, reason));
        return kExitStartFailed;
      }
      PrintLine(stderr, QStringLiteral("the log goes to %1").arg(file));
    }
  }
  // The medium is class-wide: set here, it is the one the window's creation handler opens.
  TDebugDevice().SetMedia(line.LogMedia);
  return 0;
}

// Whether the argument that gave `file` is the same bytes when written back: a name that is not
// valid UTF-8 cannot be, and would otherwise be looked for under another name.
bool NameRoundTrips(int argc, char** argv, const QString& file) {
  for (int i = 1; i < argc; ++i) {
    if (QString::fromLocal8Bit(argv[i]) == file) {
      return QFile::encodeName(file) == QByteArray(argv[i]);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const TCommandLine line = ParseCommandLine(arguments);
  switch (line.Action) {
    case TCommandLine::TAction::Help:
    case TCommandLine::TAction::Version:
      std::fputs(qUtf8Printable(line.Text), stdout);
      return 0;
    case TCommandLine::TAction::Error:
      std::fprintf(stderr, "%s\n", qUtf8Printable(line.Text));
      return kExitBadArgument;
    case TCommandLine::TAction::Run:
      break;
  }
  // The MIDI service works through the system's servers: the ALSA sequencer and JACK.
  MidiOutSetBackend(MakeSystemMidiBackend());
  // The list needs no display and no log.
  if (line.ListDevices) {
    const UINT count = midiOutGetNumDevs();
    std::string name;
    for (UINT i = 0; i < count; ++i) {
      if (MidiOutGetDeviceName(i, name) == MMSYSERR_NOERROR) std::printf("%s\n", name.c_str());
    }
    return 0;
  }
  if (!line.File.isEmpty() && !NameRoundTrips(argc, argv, line.File)) {
    PrintLine(stderr, QStringLiteral("cannot open the sound set \"%1\": the file name is not "
                                     "valid UTF-8; rename the file")
                          .arg(line.File));
    return kExitBadArgument;
  }
  if (const int failed = PrepareLog(line); failed != 0) return failed;
  for (const auto& [device, rate] : line.MidiRates) MidiOutSetDeviceRate(device, rate);

  qInstallMessageHandler(HoldStartUpMessage);
  HoldStandardError();
  TApplication app(argc, argv);
  ReleaseStandardError(true);
  ReleaseStartUpMessages();
  return app.RunMainForm(line.Device, line.File, line.Input, line.Thru, line.Tempo, line.Seed);
}
