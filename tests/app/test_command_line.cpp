#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "CommandLine.h"

namespace {

using TAction = TCommandLine::TAction;

struct TParseCase {
  const char* Name;
  QStringList Arguments;
  TAction Action;
  TDebugMedia Media = dmNull;
  QString LogDir = {};
  QString Device = {};
  QString File = {};
  QString Text = {};  // a part of the text (help, version or error line)
  QString Input = {};
  bool Thru = false;
  double Tempo = 0;
};

class Parse : public testing::TestWithParam<TParseCase> {};

TEST_P(Parse, GivesTheActionAndValues) {
  const TParseCase& c = GetParam();
  const TCommandLine line =
      ParseCommandLine(QStringList{QStringLiteral("halvorine")} + c.Arguments);
  EXPECT_EQ(line.Action, c.Action);
  EXPECT_TRUE(line.Text.contains(c.Text)) << line.Text.toStdString();
  if (c.Action == TAction::Error) {
    EXPECT_TRUE(line.Text.startsWith(QStringLiteral("halvorine: "))) << line.Text.toStdString();
    EXPECT_FALSE(line.Text.contains(QLatin1Char('\n'))) << "one line";
    return;
  }
  EXPECT_EQ(line.LogMedia, c.Media);
  EXPECT_EQ(line.LogDir, c.LogDir);
  EXPECT_EQ(line.Device, c.Device);
  EXPECT_EQ(line.File, c.File);
  EXPECT_EQ(line.Input, c.Input);
  EXPECT_EQ(line.Thru, c.Thru);
  EXPECT_EQ(line.Tempo, c.Tempo);
}

const QString kNone;

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Parse,
    testing::Values(
        TParseCase{"Nothing", {}, TAction::Run},
        TParseCase{"Help",
                   {"--help"},
                   TAction::Help,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "Usage: halvorine [options] [file]"},
        TParseCase{"ShortHelpSaysWhereTheLogGoes",
                   {"-h"},
                   TAction::Help,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "(~/.local/state/halvorine"},
        TParseCase{"HelpAllListsQtsOptions",
                   {"--help-all"},
                   TAction::Help,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "-platform <value>"},
        TParseCase{"Version",
                   {"--version"},
                   TAction::Version,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "halvorine 0."},
        TParseCase{"LogNull", {"--log", "null"}, TAction::Run, dmNull},
        TParseCase{"LogFile", {"--log=file"}, TAction::Run, dmFile},
        TParseCase{"LogSerial", {"--log", "serial"}, TAction::Run, dmSerial},
        TParseCase{"LogMonitor", {"--log", "monitor"}, TAction::Run, dmWindow},
        TParseCase{
            "TheLastLogCounts", {"--log", "file", "--log", "serial"}, TAction::Run, dmSerial},
        TParseCase{
            "LogDir", {"--log", "file", "--log-dir", "/tmp/x y"}, TAction::Run, dmFile, "/tmp/x y"},
        TParseCase{"Device",
                   {"--device", "midi-monitor:input"},
                   TAction::Run,
                   dmNull,
                   kNone,
                   "midi-monitor:input"},
        TParseCase{"InputAndThru",
                   {"--thru", "--input", "instrument:out"},
                   TAction::Run,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   kNone,
                   "instrument:out",
                   true},
        TParseCase{"EmptyInput",
                   {"--input", ""},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "--input: empty"},
        TParseCase{.Name = "Tempo",
                   .Arguments = {"--tempo", "97.25"},
                   .Action = TAction::Run,
                   .Tempo = 97.25},
        TParseCase{.Name = "TempoAtTheEnds",
                   .Arguments = {"--tempo=20", "--tempo", "300"},
                   .Action = TAction::Run,
                   .Tempo = 300},
        TParseCase{.Name = "TempoTooSlow",
                   .Arguments = {"--tempo", "19.99"},
                   .Action = TAction::Error,
                   .Text = "--tempo: '19.99' is not a tempo from 20 to 300"},
        TParseCase{.Name = "TempoTooFast",
                   .Arguments = {"--tempo", "300.5"},
                   .Action = TAction::Error,
                   .Text = "--tempo: '300.5'"},
        TParseCase{.Name = "TempoNotANumber",
                   .Arguments = {"--tempo", "120bpm"},
                   .Action = TAction::Error,
                   .Text = "--tempo: '120bpm'"},
        TParseCase{.Name = "TempoCommaDecimal",
                   .Arguments = {"--tempo", "97,5"},
                   .Action = TAction::Error,
                   .Text = "--tempo: '97,5'"},
        TParseCase{"File", {"set.json"}, TAction::Run, dmNull, kNone, kNone, "set.json"},
        TParseCase{
            "FileAfterDashDash", {"--", "--log"}, TAction::Run, dmNull, kNone, kNone, "--log"},
        TParseCase{"QtOptionsPassOverWithTheirValues",
                   {"-platform", "offscreen", "--display", ":5", "-style=fusion", "-reverse",
                    "-qwindowtitle", "set.json", "--log", "file", "mine.json"},
                   TAction::Run,
                   dmFile,
                   kNone,
                   kNone,
                   "mine.json"},
        TParseCase{"QtReadsNoEqualsAfterPlatform",
                   {"--platform=xcb"},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "'platform'"},
        TParseCase{
            "UnknownOption", {"--bogus"}, TAction::Error, dmNull, kNone, kNone, kNone, "'bogus'"},
        TParseCase{"UnknownOptionNamedWhole",
                   {"--log.file"},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "'log.file'"},
        TParseCase{"UnknownSingleDash", {"-x"}, TAction::Error, dmNull, kNone, kNone, kNone, "'x'"},
        TParseCase{
            "LogWithoutValue", {"--log"}, TAction::Error, dmNull, kNone, kNone, kNone, "--log"},
        TParseCase{"UnknownMedium",
                   {"--log", "window"},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "--log: unknown medium 'window'"},
        TParseCase{"MediumIsCaseSensitive",
                   {"--log", "File"},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "'File'"},
        TParseCase{"EmptyLogDir",
                   {"--log-dir="},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "--log-dir"},
        TParseCase{"EmptyDevice",
                   {"--device", ""},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "--device"},
        TParseCase{"TwoFiles",
                   {"a.json", "b.json"},
                   TAction::Error,
                   dmNull,
                   kNone,
                   kNone,
                   kNone,
                   "'a.json', 'b.json'"}),
    [](const testing::TestParamInfo<TParseCase>& info) { return std::string(info.param.Name); });

TEST(CommandLine, MidiRatesAreKeptInOrderAndABadOneIsNamed) {
  const TCommandLine line =
      ParseCommandLine({"halvorine", "--midi-rate", "USB Wire=3125", "--midi-rate=a=b=unlimited"});
  ASSERT_EQ(line.Action, TAction::Run) << line.Text.toStdString();
  const std::vector<std::pair<std::string, std::uint32_t>> expected{{"USB Wire", 3125}, {"a=b", 0}};
  EXPECT_EQ(line.MidiRates, expected);

  for (const char* bad : {"NoRate", "Wire=", "Wire=fast", "=3125"}) {
    const TCommandLine refused = ParseCommandLine({"halvorine", "--midi-rate", bad});
    EXPECT_EQ(refused.Action, TAction::Error) << bad;
    EXPECT_TRUE(refused.Text.contains(QStringLiteral("--midi-rate: '%1'").arg(bad)))
        << refused.Text.toStdString();
  }
}

// ---- The log's folder ----

class LogFolder : public testing::Test {
protected:
  QString Path(const QString& name) const { return Dir.path() + QLatin1Char('/') + name; }
  QTemporaryDir Dir;
};

TEST_F(LogFolder, IsChosenInOrder) {
  ASSERT_TRUE(Dir.isValid());
  ASSERT_TRUE(QDir().mkpath(Path("exe")) && QDir().mkpath(Path("prefix/bin")));
  const QString home = Path("home");
  // /proc/self takes no new file, for root neither: it stands for /usr/bin seen by a user.
  const QString unwritable = QStringLiteral("/proc/self");
  struct TCase {
    const char* What;
    QString LogDir, Executable, XdgStateHome;
    QString Expected;
  } cases[] = {
      {"beside a writable executable", {}, Path("exe"), Path("state"), Path("exe")},
      {"the given folder first", Path("given"), Path("exe"), Path("state"), Path("given")},
      {"a given folder is made with its parents", Path("a/b/c"), unwritable, {}, Path("a/b/c")},
      {"the state folder when the executable's is unwritable",
       {},
       unwritable,
       Path("state"),
       Path("state/halvorine")},
      {"the state folder for an installed program, even where bin/ is writable",
       {},
       Path("prefix/bin"),
       Path("state"),
       Path("state/halvorine")},
      {"the state folder when the executable's is unknown",
       {},
       {},
       Path("state"),
       Path("state/halvorine")},
      {"home's state folder without XDG_STATE_HOME",
       {},
       unwritable,
       {},
       home + "/.local/state/halvorine"},
      {"home's state folder for a relative XDG_STATE_HOME",
       {},
       unwritable,
       "state",
       home + "/.local/state/halvorine"},
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
