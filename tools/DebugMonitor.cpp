// The debug monitor: owns the automation name "Tessaly.Ole" on the session bus and shows every
// text that arrives through its method "Write", as it arrives, so that the program's diagnostics
// log can be watched live.
//
//   halvorine_debug_monitor            prints the texts as they are (the log's own line ends)
//   halvorine_debug_monitor --calls    prints one line per call, the text in C escapes
//   halvorine_debug_monitor --window   also shows the texts in a window
//
// It exits with status 1 when there is no session bus or another program owns the name, and
// with status 0 when the bus goes away.

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>

#include "OleObject.h"

namespace {

constexpr char kProgId[] = "Tessaly.Ole";
constexpr int kBusCheckMs = 500;

// One call as one line: printable ASCII stays, backslash and quote are escaped, everything else
// (CR, LF, bytes of non-ASCII characters) becomes \r, \n, \t or \xNN.
std::string Escaped(const QByteArray& utf8) {
  std::string out;
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        }
    }
  }
  return out;
}

}  // namespace

// The object behind the name: its one method is what the log calls.
class TMonitorObject : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "Tessaly.Ole")

public:
  TMonitorObject(bool calls, QPlainTextEdit* view) : FCalls(calls), FView(view) {}

public slots:
  Q_SCRIPTABLE void Write(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (FCalls) {
      const std::string line = "Write \"" + Escaped(utf8) + "\"\n";
      std::fwrite(line.data(), 1, line.size(), stdout);
    } else {
      std::fwrite(utf8.constData(), 1, static_cast<std::size_t>(utf8.size()), stdout);
    }
    std::fflush(stdout);
    if (FView) {
      QString shown = text;
      shown.remove(QLatin1Char('\r'));
      FView->moveCursor(QTextCursor::End);
      FView->insertPlainText(shown);
      FView->ensureCursorVisible();
    }
  }

private:
  bool FCalls;
  QPlainTextEdit* FView;
};

int main(int argc, char** argv) {
  // The window needs a QApplication, which needs a display; without --window none is touched.
  bool window = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--window") window = true;
  }
  std::unique_ptr<QCoreApplication> app;
  if (window) {
    app = std::make_unique<QApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QCoreApplication::setApplicationName(QStringLiteral("halvorine_debug_monitor"));

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Shows what the diagnostics log writes to its monitor \"%1\".")
          .arg(QLatin1String(kProgId)));
  parser.addHelpOption();
  const QCommandLineOption callsOption(QStringLiteral("calls"),
                                       QStringLiteral("One line per call, text escaped."));
  const QCommandLineOption windowOption(QStringLiteral("window"),
                                        QStringLiteral("Show the texts in a window as well."));
  parser.addOption(callsOption);
  parser.addOption(windowOption);
  parser.process(*app);

  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "halvorine_debug_monitor: no session bus: %s\n",
                 qPrintable(bus.lastError().message()));
    return 1;
  }

  std::unique_ptr<QPlainTextEdit> view;
  if (window) {
    view = std::make_unique<QPlainTextEdit>();
    view->setReadOnly(true);
    view->setWindowTitle(QStringLiteral("Debug monitor - %1").arg(QLatin1String(kProgId)));
    view->resize(640, 400);
    view->show();
  }

  TMonitorObject object(parser.isSet(callsOption), view.get());
  const QString progId = QLatin1String(kProgId);
  if (!bus.registerObject(TOleObject::ObjectPath(progId), &object,
                          QDBusConnection::ExportScriptableSlots)) {
    std::fprintf(stderr, "halvorine_debug_monitor: cannot register the object\n");
    return 1;
  }
  // The name is registered last: once a caller sees it, the object answers.
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      bus.interface()->registerService(progId, QDBusConnectionInterface::DontQueueService,
                                       QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
    std::fprintf(stderr, "halvorine_debug_monitor: the name %s is taken\n", kProgId);
    return 1;
  }
  std::fprintf(stderr, "halvorine_debug_monitor: listening as %s\n", kProgId);

  // A monitor whose bus has gone has nothing left to show.
  QTimer busCheck;
  QObject::connect(&busCheck, &QTimer::timeout, [&] {
    if (!QDBusConnection::sessionBus().isConnected()) QCoreApplication::exit(0);
  });
  busCheck.start(kBusCheckMs);

  return app->exec();
}

#include "DebugMonitor.moc"
