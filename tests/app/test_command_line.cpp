#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "CommandLine.h"

namespace {

using TAction = TCommandLine::TAction;

// The values of a line that differ from a plain run, as "log=file dir=/tmp/x device=...".
QString Values(const TCommandLine& line) {
  static const char* const kMedia[] = {"null", "file", "monitor", "serial"};
  QStringList v;
  if (line.LogMedia != dmNull) v << QStringLiteral("log=") + kMedia[line.LogMedia];
  if (!line.LogDir.isEmpty()) v << "dir=" + line.LogDir;
  if (!line.Device.isEmpty()) v << "device=" + line.Device;
  if (line.ListDevices) v << "list";
  if (!line.File.isEmpty()) v << "file=" + line.File;
  if (!line.Input.isEmpty()) v << "input=" + line.Input;
  if (line.Thru) v << "thru";
  if (line.Tempo != 0) v << "tempo=" + QString::number(line.Tempo);
  if (line.Seed) v << "seed=" + QString::number(*line.Seed);
  for (const auto& [name, rate] : line.MidiRates)
    v << QString::fromStdString("rate=" + name + ":" + std::to_string(rate));
  return v.join(' ');
}

struct TParseCase {
  const char* Name;
  QStringList Arguments;
  TAction Action;
  QString Expected;  // Run: its Values; else a part of the text (help, version or error line)
};

TParseCase Ok(const char* name, QStringList arguments, QString values) {
  return {name, std::move(arguments), TAction::Run, std::move(values)};
}
TParseCase Bad(const char* name, QStringList arguments, QString text) {
  return {name, std::move(arguments), TAction::Error, std::move(text)};
}
TParseCase Says(const char* name, QStringList arguments, TAction action, QString text) {
  return {name, std::move(arguments), action, std::move(text)};
}

class Parse : public testing::TestWithParam<TParseCase> {};

TEST_P(Parse, GivesTheActionAndValues) {
  const TParseCase& c = GetParam();
  const TCommandLine line =
      ParseCommandLine(QStringList{QStringLiteral("halvorine")} + c.Arguments);
  EXPECT_EQ(line.Action, c.Action) << line.Text.toStdString();
  if (c.Action == TAction::Run) {
    EXPECT_EQ(Values(line), c.Expected);
    return;
  }
  EXPECT_TRUE(line.Text.contains(c.Expected)) << line.Text.toStdString();
  if (c.Action == TAction::Error) {
    EXPECT_TRUE(line.Text.startsWith(QStringLiteral("halvorine: "))) << line.Text.toStdString();
    EXPECT_FALSE(line.Text.contains(QLatin1Char('\n'))) << "one line";
  } else {
    EXPECT_EQ(Values(line), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Parse,
    testing::Values(
        Ok("Nothing", {}, ""),
        Says("Help", {"--help"}, TAction::Help, "Usage: halvorine [options] [file]"),
        Says("ShortHelpSaysWhereTheLogGoes", {"-h"}, TAction::Help, "(~/.local/state/halvorine"),
        Says("HelpAllListsQtsOptions", {"--help-all"}, TAction::Help, "-platform <value>"),
        Says("Version", {"--version"}, TAction::Version, "halvorine 0."),
        Ok("LogNull", {"--log", "null"}, ""), Ok("LogFile", {"--log=file"}, "log=file"),
        Ok("LogSerial", {"--log", "serial"}, "log=serial"),
        Ok("LogMonitor", {"--log", "monitor"}, "log=monitor"),
        Ok("TheLastLogCounts", {"--log", "file", "--log", "serial"}, "log=serial"),
        Ok("LogDir", {"--log", "file", "--log-dir", "/tmp/x y"}, "log=file dir=/tmp/x y"),
        Ok("Device", {"--device", "midi-monitor:input"}, "device=midi-monitor:input"),
        Ok("ListDevices", {"--list-devices"}, "list"),
        Ok("InputAndThru", {"--thru", "--input", "instrument:out"}, "input=instrument:out thru"),
        Bad("EmptyInput", {"--input", ""}, "--input: empty"),
        Ok("Tempo", {"--tempo", "97.25"}, "tempo=97.25"),
        Ok("TempoAtTheEnds", {"--tempo=20", "--tempo", "300"}, "tempo=300"),
        Bad("TempoTooSlow", {"--tempo", "19.99"}, "--tempo: '19.99' is not a tempo from 20 to 300"),
        Bad("TempoTooFast", {"--tempo", "300.5"}, "--tempo: '300.5'"),
        Bad("TempoNotANumber", {"--tempo", "120bpm"}, "--tempo: '120bpm'"),
        Bad("TempoCommaDecimal", {"--tempo", "97,5"}, "--tempo: '97,5'"),
        Ok("SeedZero", {"--seed", "0"}, "seed=0"),
        Ok("SeedAtTheEnds", {"--seed=0", "--seed", "18446744073709551615"},
           "seed=18446744073709551615"),
        Bad("SeedPastTheTop", {"--seed", "18446744073709551616"},
            "--seed: '18446744073709551616' is not a whole number from 0 to"),
        Bad("SeedSigned", {"--seed", "+5"}, "--seed: '+5'"),
        Ok("File", {"set.json"}, "file=set.json"),
        Ok("FileAfterDashDash", {"--", "--log"}, "file=--log"),
        Ok("QtOptionsPassOverWithTheirValues",
           {"-platform", "offscreen", "--display", ":5", "-style=fusion", "-reverse",
            "-qwindowtitle", "set.json", "--log", "file", "mine.json"},
           "log=file file=mine.json"),
        Bad("QtReadsNoEqualsAfterPlatform", {"--platform=xcb"}, "'platform'"),
        Bad("UnknownOption", {"--bogus"}, "'bogus'"),
        Bad("UnknownOptionNamedWhole", {"--log.file"}, "'log.file'"),
        Bad("UnknownSingleDash", {"-x"}, "'x'"), Bad("LogWithoutValue", {"--log"}, "--log"),
        Bad("UnknownMedium", {"--log", "window"}, "--log: unknown medium 'window'"),
        Bad("MediumIsCaseSensitive", {"--log", "File"}, "'File'"),
        Bad("EmptyLogDir", {"--log-dir="}, "--log-dir"),
        Bad("EmptyDevice", {"--device", ""}, "--device"),
        Bad("TwoFiles", {"a.json", "b.json"}, "'a.json', 'b.json'"),
        // Rates are kept in the order given; the name is up to the last '='.
        Ok("MidiRates", {"--midi-rate", "USB Wire=3125", "--midi-rate=a=b=unlimited"},
           "rate=USB Wire:3125 rate=a=b:0"),
        Bad("MidiRateWithoutRate", {"--midi-rate", "NoRate"}, "--midi-rate: 'NoRate'"),
        Bad("MidiRateEmpty", {"--midi-rate", "Wire="}, "--midi-rate: 'Wire='"),
        Bad("MidiRateNotANumber", {"--midi-rate", "Wire=fast"}, "--midi-rate: 'Wire=fast'"),
        Bad("MidiRateWithoutName", {"--midi-rate", "=3125"}, "--midi-rate: '=3125'")),
    [](const testing::TestParamInfo<TParseCase>& info) { return std::string(info.param.Name); });

// ---- The log's folder ----

class LogFolder : public testing::Test {
protected:
  QString Path(const QString& name) const { return Dir.path() + QLatin1Char('/') + name; }
  QTemporaryDir Dir;
};

TEST_F(LogFolder, IsChosenInOrder) {
  ASSERT_TRUE(Dir.isValid());
  ASSERT_TRUE(QDir().mkpath(Path("exe")) && QDir().mkpath(Path("prefix/bin")));
  const QString home = Path("home"), exe = Path("exe"), state = Path("state");
  const QString ours = Path("state/halvorine"), homes = home + "/.local/state/halvorine";
  // /proc/self takes no new file, for root neither: it stands for /usr/bin seen by a
  // user.
  const QString unwritable = QStringLiteral("/proc/self");
  struct TCase {
    const char* What;
    QString LogDir, Executable, XdgStateHome;
    QString Expected;
  } cases[] = {
      {"beside a writable executable", {}, exe, state, exe},
      {"the given folder first", Path("given"), exe, state, Path("given")},
      {"a given folder is made with its parents", Path("a/b/c"), unwritable, {}, Path("a/b/c")},
      {"the state folder where the executable's is unwritable", {}, unwritable, state, ours},
      {"the state folder of an installed program, bin/ writable",
       {},
       Path("prefix/bin"),
       state,
       ours},
      {"the state folder when the executable's is unknown", {}, {}, state, ours},
      {"home's state folder without XDG_STATE_HOME", {}, unwritable, {}, homes},
      {"home's state folder for a relative XDG_STATE_HOME", {}, unwritable, "state", homes},
  };
  for (const TCase& c : cases) {
    const TLogFolder folder = ChooseLogFolder(c.LogDir, c.Executable, c.XdgStateHome, home);
    EXPECT_EQ(folder.Folder, c.Expected) << c.What << ": " << folder.Error.toStdString();
    EXPECT_TRUE(QFileInfo(c.Expected).isDir()) << c.What;
  }
}

TEST_F(LogFolder, AFolderThatCannotBeUsedIsAnError) {
  ASSERT_TRUE(Dir.isValid());
  QFile file(Path("plain"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  const struct {
    QString LogDir;
    const char* Error;
  } cases[] = {{Path("plain"), "is not a folder"},
               {Path("plain/below"), "cannot make"},
               {QStringLiteral("/proc/self"), "cannot write"}};
  for (const auto& c : cases) {
    const TLogFolder folder = ChooseLogFolder(c.LogDir, Path("exe"), {}, Path("home"));
    EXPECT_TRUE(folder.Folder.isEmpty()) << c.LogDir.toStdString();
    EXPECT_TRUE(folder.Error.contains(QLatin1String(c.Error))) << folder.Error.toStdString();
  }
}

}  // namespace
