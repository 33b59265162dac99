#include "Application.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <exception>

#include "CommandLine.h"
#include "DebugDevice.h"
#include "ErrorBoundary.h"
#include "HalvorineVersion.h"
#include "MainForm.h"
#include "OleObject.h"
#include "SerialPort.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Halvorine"));
  setApplicationVersion(QLatin1String(kHalvorineVersion));
  // Ties the window to the installed desktop entry (its icon, and the application id on Wayland).
  setDesktopFileName(QStringLiteral("org.halvorine.Halvorine"));
}

namespace {

// The serial log opens with the window; whether it did is said once, as the file's place is.
void ReportLogMedium() {
  if (TDebugDevice().GetMedia() != dmSerial) return;
  const std::string device = TSerialPort::DevicePath(kDebugSerialPort);
  if (TDebugDevice::GetOpened()) {
    std::fprintf(stderr, "halvorine: the log goes to the serial port %s (%s)\n",
                 std::string(kDebugSerialPort).c_str(), device.c_str());
  } else {
    std::fprintf(stderr, "halvorine: cannot open the serial port %s (%s); the log stays closed\n",
                 std::string(kDebugSerialPort).c_str(), device.c_str());
  }
}
}  // namespace

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    TErrorBoundary::ShowError(TErrorBoundary::ErrorText(std::current_exception()));
  }
  return false;
}

namespace {
// SIGTERM and SIGHUP end the program as closing the window would, without a question: the
// handler only writes a byte, and the event loop does the rest.
int SignalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
}

class TTerminationSignals {
public:
  explicit TTerminationSignals(TMainForm& form) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalPipe) != 0) {
      return;
    }
    FNotifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(FNotifier.get(), &QSocketNotifier::activated, &form, [&form] {
      char bytes[16];
      while (::read(SignalPipe[0], bytes, sizeof bytes) > 0) {
      }
      form.EndWithoutQuestion();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP})
      ::sigaction(signal, &action, &FOld[signal == SIGHUP]);
  }
  ~TTerminationSignals() {
    if (!FNotifier) return;
    ::sigaction(SIGTERM, &FOld[0], nullptr);
    ::sigaction(SIGHUP, &FOld[1], nullptr);
    FNotifier.reset();
    ::close(SignalPipe[0]);
    ::close(SignalPipe[1]);
    SignalPipe[0] = SignalPipe[1] = -1;
  }
  TTerminationSignals(const TTerminationSignals&) = delete;
  TTerminationSignals& operator=(const TTerminationSignals&) = delete;

private:
  std::unique_ptr<QSocketNotifier> FNotifier;
  struct sigaction FOld[2]{};
};
}  // namespace

int TApplication::RunMainForm(const QString& device, const QString& soundSet, const QString& input,
                              bool thru, double tempo, std::optional<std::uint64_t> seed) {
  try {
    TMainForm MainForm;
    if (!device.isEmpty() && !MainForm.SelectDeviceByName(device)) {
      std::fprintf(stderr, "halvorine: --device: no MIDI output device named '%s'\n",
                   qUtf8Printable(device));
    }
    if (device.isEmpty()) MainForm.RestoreOutput();
    MainForm.RestoreInput(input.isEmpty());
    if (thru) MainForm.SetThru(true);
    MainForm.RestoreClock(tempo);
    if (seed) MainForm.SetMutationSeed(*seed);
    if (!input.isEmpty() && !MainForm.SelectInputByName(input)) {
      std::fprintf(stderr, "halvorine: --input: no MIDI input device named '%s'\n",
                   qUtf8Printable(input));
    }
    ReportLogMedium();
    const TTerminationSignals termination(MainForm);
    MainForm.show();
    MainForm.KeepOnScreen();
    MainForm.Document().OfferRecovery();
    if (!soundSet.isEmpty()) {
      TErrorBoundary::SetAlsoToStandardError(true);
      MainForm.Document().OpenAsked(soundSet);
      TErrorBoundary::SetAlsoToStandardError(false);
    }
    if (!MainForm.Ending()) exec();
  } catch (const EOleError& error) {
    // Only the log's monitor is an automation object here.
    const QString text = QStringLiteral("%1: start halvorine-debug-monitor first")
                             .arg(QString::fromLocal8Bit(error.what()));
    std::fprintf(stderr, "halvorine: %s\n", qUtf8Printable(text));
    TErrorBoundary::ShowError(text);
    return kExitStartFailed;
  } catch (...) {
    const QString text = TErrorBoundary::ErrorText(std::current_exception());
    std::fprintf(stderr, "halvorine: %s\n", qUtf8Printable(text));
    TErrorBoundary::ShowError(text);
    return kExitStartFailed;
  }
  return 0;
}
