#include "CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <utility>

#include "HalvorineVersion.h"
#include "MidiClock.h"
#include "MidiOutService.h"

namespace {

constexpr char kProgram[] = "halvorine";

// Qt's own options, as the application object reads them.
enum class TQtValue {
  None,         // -reverse
  Next,         // -platform xcb
  NextOrEqual,  // -style fusion, -style=fusion
  Equal,        // -qmljsdebugger=port:1234
};
struct TQtOption {
  std::string_view Name;
  TQtValue Value;
};
constexpr std::array<TQtOption, 21> kQtOptions{{
    {"platform", TQtValue::Next},
    {"platformpluginpath", TQtValue::Next},
    {"platformtheme", TQtValue::Next},
    {"plugin", TQtValue::Next},
    {"display", TQtValue::Next},
    {"geometry", TQtValue::Next},
    {"qwindowgeometry", TQtValue::Next},
    {"qwindowicon", TQtValue::Next},
    {"qwindowtitle", TQtValue::Next},
    {"title", TQtValue::Next},
    {"icon", TQtValue::Next},
    {"name", TQtValue::Next},
    {"session", TQtValue::Next},
    {"style", TQtValue::NextOrEqual},
    {"stylesheet", TQtValue::NextOrEqual},
    {"qmljsdebugger", TQtValue::Equal},
    {"reverse", TQtValue::None},
    {"widgetcount", TQtValue::None},
    {"nograb", TQtValue::None},
    {"dograb", TQtValue::None},
    {"testability", TQtValue::None},
}};

// How many arguments Qt's own option at `arguments[i]` takes up: 0 when it is not one of them,
// as written (Qt reads "-platform=xcb" as nothing of its own, so it is not passed over).
int QtOptionLength(const QStringList& arguments, qsizetype i) {
  QString argument = arguments[i];
  if (argument.startsWith(QLatin1String("--"))) {
    argument.remove(0, 2);
  } else if (argument.startsWith(QLatin1Char('-'))) {
    argument.remove(0, 1);
  } else {
    return 0;
  }
  const qsizetype equals = argument.indexOf(QLatin1Char('='));
  const QString name = equals < 0 ? argument : argument.left(equals);
  for (const TQtOption& option : kQtOptions) {
    if (name != QLatin1String(option.Name.data(), static_cast<qsizetype>(option.Name.size()))) {
      continue;
    }
    switch (option.Value) {
      case TQtValue::None:
        return equals < 0 ? 1 : 0;
      case TQtValue::Equal:
        return equals < 0 ? 0 : 1;
      case TQtValue::NextOrEqual:
        if (equals >= 0) return 1;
        [[fallthrough]];
      case TQtValue::Next:
        if (equals >= 0) return 0;
        return i + 1 < arguments.size() ? 2 : 1;
    }
  }
  return 0;
}

struct TMediumName {
  const char* Name;
  TDebugMedia Media;
};
constexpr std::array<TMediumName, 4> kMediumNames{
    {{"null", dmNull}, {"file", dmFile}, {"serial", dmSerial}, {"monitor", dmWindow}}};

TCommandLine Failure(const QString& text) {
  TCommandLine line;
  line.Action = TCommandLine::TAction::Error;
  line.Text = QStringLiteral("%1: %2 (see %1 --help)").arg(QLatin1String(kProgram), text);
  return line;
}

// A folder that takes a new file: tried by making one, which also holds for root and for
// read-only mounts, where the permission bits alone would say yes.
bool TakesNewFile(const QString& folder) {
  QTemporaryFile probe(folder + QStringLiteral("/.halvorine-XXXXXX"));
  return probe.open();
}

}  // namespace

TCommandLine ParseCommandLine(const QStringList& arguments) {
  QStringList ours;
  if (!arguments.isEmpty()) ours << arguments.first();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == QLatin1String("--")) {
      ours << arguments.mid(i);
      break;
    }
    const int length = QtOptionLength(arguments, i);
    if (length == 0) ours << arguments[i];
    i += length > 0 ? length - 1 : 0;
  }

  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.setApplicationDescription(QStringLiteral(
      "A panel that edits and morphs the sounds of a drum machine over MIDI.\n"
      "Qt's own options (-platform, -display, -style and the others) are accepted as well."));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption log(
      QStringLiteral("log"),
      QStringLiteral("Where the diagnostics log goes: null (nowhere, the default), file, serial "
                     "(the first serial port) or monitor (the debug monitor on the session bus)."),
      QStringLiteral("medium"));
  const QCommandLineOption logDir(
      QStringLiteral("log-dir"),
      QStringLiteral("The folder for Debug.txt with --log file (made if missing). Default: "
                     "beside the program when it runs from its build tree and can write there, "
                     "else $XDG_STATE_HOME/halvorine (~/.local/state/halvorine when "
                     "XDG_STATE_HOME is unset). The program says on standard error where the "
                     "log goes."),
      QStringLiteral("dir"));
  const QCommandLineOption device(
      QStringLiteral("device"),
      QStringLiteral("Select this MIDI output device in the list at start-up, without opening it."),
      QStringLiteral("name"));
  const QCommandLineOption midiRate(
      QStringLiteral("midi-rate"),
      QStringLiteral("Pace the output to the MIDI device NAME at RATE bytes a second (3125 for a "
                     "MIDI wire; 0 or unlimited: no pacing). May be given for several devices."),
      QStringLiteral("name=rate"));
  const QCommandLineOption input(
      QStringLiteral("input"),
      QStringLiteral("Follow this MIDI input device from the start: the control changes of the "
                     "sounds' parameters on the panel's four channels set them without being sent "
                     "back."),
      QStringLiteral("name"));
  const QCommandLineOption thru(
      QStringLiteral("thru"),
      QStringLiteral(
          "Pass each whole message from the MIDI input on to the output, unchanged and "
          "in order: channel messages, system common and real-time messages, active "
          "sensing included; not system exclusive, and while the MIDI clock has a tempo, "
          "not clock ticks, Start, Stop or Continue."));
  const QCommandLineOption tempo(
      QStringLiteral("tempo"),
      QStringLiteral("Run the MIDI clock at BPM beats a minute (20 to 300, decimals allowed) for "
                     "this run: Start and Continue are followed by clock ticks until Stop. The "
                     "tempo chosen in the window is kept for later runs."),
      QStringLiteral("bpm"));
  const QCommandLineOption listDevices(
      QStringLiteral("list-devices"),
      QStringLiteral("Print the MIDI output devices, one full name a line, and end."));
  const QCommandLineOption seed(
      QStringLiteral("seed"),
      QStringLiteral("Seed Mutate and Randomize with N (0 to 18446744073709551615): every run "
                     "with the same seed makes the same moves."),
      QStringLiteral("n"));
  parser.addOptions({log, logDir, device, midiRate, listDevices, input, thru, tempo, seed});
  parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("A sound-set file to open."),
                               QStringLiteral("[file]"));

  if (!parser.parse(ours)) {
    QString error = parser.errorText();  // "Unknown option 'x'."
    if (error.endsWith(QLatin1Char('.'))) error.chop(1);
    return Failure(error);
  }

  TCommandLine line;
  const bool helpAll = parser.isSet(QStringLiteral("help-all"));
  if (parser.isSet(help) || helpAll) {
    line.Action = TCommandLine::TAction::Help;
    // Without an application object the parser cannot know the program's name.
    line.Text =
        parser.helpText().replace(QStringLiteral("<executable_name>"), QLatin1String(kProgram));
    if (helpAll) {
      QString row;
      line.Text += QStringLiteral("\nQt's options:\n");
      for (const TQtOption& option : kQtOptions) {
        const QString entry = QStringLiteral(" -%1%2").arg(
            QLatin1String(option.Name.data(), static_cast<qsizetype>(option.Name.size())),
            option.Value == TQtValue::None    ? QString()
            : option.Value == TQtValue::Equal ? QStringLiteral("=<value>")
                                              : QStringLiteral(" <value>"));
        if (row.size() + entry.size() > 78) line.Text += std::exchange(row, {}) + '\n';
        row += entry;
      }
      line.Text += row + '\n';
    }
    return line;
  }
  if (parser.isSet(version)) {
    line.Action = TCommandLine::TAction::Version;
    line.Text =
        QStringLiteral("%1 %2\n").arg(QLatin1String(kProgram), QLatin1String(kHalvorineVersion));
    return line;
  }
  if (parser.isSet(log)) {
    const QString value = parser.value(log);
    const auto known = std::find_if(kMediumNames.begin(), kMediumNames.end(),
                                    [&](const TMediumName& m) { return value == m.Name; });
    if (known == kMediumNames.end()) {
      return Failure(
          QStringLiteral("--log: unknown medium '%1'; null, file, serial or monitor").arg(value));
    }
    line.LogMedia = known->Media;
  }
  if (parser.isSet(logDir)) {
    line.LogDir = parser.value(logDir);
    if (line.LogDir.isEmpty()) return Failure(QStringLiteral("--log-dir: empty folder name"));
  }
  if (parser.isSet(device)) {
    line.Device = parser.value(device);
    if (line.Device.isEmpty()) return Failure(QStringLiteral("--device: empty device name"));
  }
  if (parser.isSet(input)) {
    line.Input = parser.value(input);
    if (line.Input.isEmpty()) return Failure(QStringLiteral("--input: empty device name"));
  }
  line.Thru = parser.isSet(thru);
  if (parser.isSet(tempo)) {
    const QString value = parser.value(tempo);
    bool number = false;
    const double bpm = value.toDouble(&number);
    if (!number || !MidiClockMilliBpm(bpm)) {
      return Failure(QStringLiteral("--tempo: '%1' is not a tempo from %2 to %3 BPM")
                         .arg(value)
                         .arg(kMidiClockMinBpm)
                         .arg(kMidiClockMaxBpm));
    }
    line.Tempo = bpm;
  }
  if (parser.isSet(seed)) {
    const QString value = parser.value(seed);
    bool number = false;
    const qulonglong n = value.toULongLong(&number);
    // Digits only: toULongLong would take "+5", " 5" and "0x5" as well.
    if (!number || value.isEmpty() ||
        !std::all_of(value.begin(), value.end(), [](QChar c) { return c.isDigit(); })) {
      return Failure(QStringLiteral("--seed: '%1' is not a whole number from 0 to %2")
                         .arg(value)
                         .arg(std::numeric_limits<std::uint64_t>::max()));
    }
    line.Seed = n;
  }
  for (const QString& value : parser.values(midiRate)) {
    const auto rate = ParseMidiRateOption(value.toStdString());
    if (!rate) {
      return Failure(QStringLiteral("--midi-rate: '%1' is not NAME=BYTES_PER_SECOND").arg(value));
    }
    line.MidiRates.push_back(*rate);
  }
  line.ListDevices = parser.isSet(listDevices);
  const QStringList files = parser.positionalArguments();
  if (files.size() > 1) {
    return Failure(
        QStringLiteral("more than one file: '%1'").arg(files.join(QStringLiteral("', '"))));
  }
  if (!files.isEmpty()) line.File = files.first();
  return line;
}

QString UserStateFolder(const QString& xdgStateHome, const QString& home) {
  const QString state =
      QDir::isAbsolutePath(xdgStateHome) ? xdgStateHome : home + QStringLiteral("/.local/state");
  return QDir::cleanPath(state + QStringLiteral("/halvorine"));
}

TLogFolder ChooseLogFolder(const QString& logDir, const QString& executableFolder,
                           const QString& xdgStateHome, const QString& home) {
  QString folder = logDir;
  if (folder.isEmpty()) {
    // Beside the executable only in a build tree: an installed program's bin/ folder is never
    // the place for a user's log, even where this user may write to it (root).
    const bool installed =
        QFileInfo(QDir::cleanPath(executableFolder)).fileName() == QLatin1String("bin");
    if (!executableFolder.isEmpty() && !installed && TakesNewFile(executableFolder)) {
      return {QDir::cleanPath(executableFolder), {}};
    }
    folder = UserStateFolder(xdgStateHome, home);
  }
  folder = QDir::cleanPath(QDir(folder).absolutePath());
  if (QFileInfo(folder).exists() && !QFileInfo(folder).isDir()) {
    return {{}, QStringLiteral("'%1' is not a folder").arg(folder)};
  }
  if (!QDir().mkpath(folder))
    return {{}, QStringLiteral("cannot make the folder '%1'").arg(folder)};
  if (!TakesNewFile(folder)) return {{}, QStringLiteral("cannot write in '%1'").arg(folder)};
  return {folder, {}};
}
