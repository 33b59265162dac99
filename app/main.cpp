#include <QByteArray>
#include <QDir>
#include <QMessageLogContext>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "Application.h"
#include "CommandLine.h"
#include "DebugDevice.h"
#include "MidiOutService.h"

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

// Sets the log's medium and, for the file, its folder. Returns false after saying why when
// --log-dir names a folder that cannot be used.
bool PrepareLog(const TCommandLine& line) {
  if (line.LogMedia == dmFile) {
    const TLogFolder folder =
        ChooseLogFolder(line.LogDir, QString::fromStdString(ExecutableFolder()),
                        qEnvironmentVariable("XDG_STATE_HOME"), QDir::homePath());
    if (folder.Folder.isEmpty() && !line.LogDir.isEmpty()) {
      PrintLine(stderr, QStringLiteral("--log-dir: %1 (see halvorine --help)").arg(folder.Error));
      return false;
    }
    if (folder.Folder.isEmpty()) {
      PrintLine(stderr,
                QStringLiteral("no folder for the log: %1; it stays closed").arg(folder.Error));
    } else {
      TDebugDevice::SetLogFolder(folder.Folder.toStdString());
      PrintLine(stderr, QStringLiteral("the log goes to %1")
                            .arg(QString::fromStdString(TDebugDevice::LogFilePath())));
    }
  }
  // The medium is class-wide: set here, it is the one the window's creation handler opens.
  TDebugDevice().SetMedia(line.LogMedia);
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
  // The list needs no display and no log.
  if (line.ListDevices) {
    const UINT count = midiOutGetNumDevs();
    std::string name;
    for (UINT i = 0; i < count; ++i) {
      if (MidiOutGetDeviceName(i, name) == MMSYSERR_NOERROR) std::printf("%s\n", name.c_str());
    }
    return 0;
  }
  if (!PrepareLog(line)) return kExitBadArgument;
  for (const auto& [device, rate] : line.MidiRates) MidiOutSetDeviceRate(device, rate);

  qInstallMessageHandler(HoldStartUpMessage);
  TApplication app(argc, argv);
  ReleaseStartUpMessages();
  return app.RunMainForm(line.Device, line.File);
}
