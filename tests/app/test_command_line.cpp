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
  QString Text = {};  // a part of the text (help, version or error line)
  TDebugMedia Media = dmNull;
  QString LogDir = {};
  QString Device = {};
  QString File = {};
  QString Input = {};
  bool Thru = false;
  double Tempo = 0;
  std::optional<std::uint64_t> Seed = {};
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
  EXPECT_EQ(line.Seed, c.Seed);
}

const QString kNone;

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Parse,
    testing::Values(
        TParseCase{"Nothing", {}, TAction::Run},
        TParseCase{"Help", {"--help"}, TAction::Help, "Usage: halvorine [options] [file]"},
        TParseCase{
            "ShortHelpSaysWhereTheLogGoes", {"-h"}, TAction::Help, "(~/.local/state/halvorine"},
        TParseCase{"HelpAllListsQtsOptions", {"--help-all"}, TAction::Help, "-platform <value>"},
        TParseCase{"Version", {"--version"}, TAction::Version, "halvorine 0."},
        TParseCase{"LogNull", {"--log", "null"}, TAction::Run, kNone, dmNull},
        TParseCase{"LogFile", {"--log=file"}, TAction::Run, kNone, dmFile},
        TParseCase{"LogSerial", {"--log", "serial"}, TAction::Run, kNone, dmSerial},
        TParseCase{"LogMonitor", {"--log", "monitor"}, TAction::Run, kNone, dmWindow},
        TParseCase{"TheLastLogCounts",
                   {"--log", "file", "--log", "serial"},
                   TAction::Run,
                   kNone,
                   dmSerial},
        TParseCase{"LogDir",
                   {"--log", "file", "--log-dir", "/tmp/x y"},
                   TAction::Run,
                   kNone,
                   dmFile,
                   "/tmp/x y"},
        TParseCase{.Name = "Device",
                   .Arguments = {"--device", "midi-monitor:input"},
                   .Action = TAction::Run,
                   .Device = "midi-monitor:input"},
        TParseCase{.Name = "InputAndThru",
                   .Arguments = {"--thru", "--input", "instrument:out"},
                   .Action = TAction::Run,
                   .Input = "instrument:out",
                   .Thru = true},
        TParseCase{"EmptyInput", {"--input", ""}, TAction::Error, "--input: empty"},
        TParseCase{.Name = "Tempo",
                   .Arguments = {"--tempo", "97.25"},
                   .Action = TAction::Run,
                   .Tempo = 97.25},
        TParseCase{.Name = "TempoAtTheEnds",
                   .Arguments = {"--tempo=20", "--tempo", "300"},
                   .Action = TAction::Run,
                   .Tempo = 300},
        TParseCase{"TempoTooSlow",
                   {"--tempo", "19.99"},
                   TAction::Error,
                   "--tempo: '19.99' is not a tempo from 20 to 300"},
        TParseCase{"TempoTooFast", {"--tempo", "300.5"}, TAction::Error, "--tempo: '300.5'"},
        TParseCase{"TempoNotANumber", {"--tempo", "120bpm"}, TAction::Error, "--tempo: '120bpm'"},
        TParseCase{"TempoCommaDecimal", {"--tempo", "97,5"}, TAction::Error, "--tempo: '97,5'"},
        TParseCase{.Name = "SeedAtTheEnds",
                   .Arguments = {"--seed=0", "--seed", "18446744073709551615"},
                   .Action = TAction::Run,
                   .Seed = 18446744073709551615u},
        TParseCase{"SeedPastTheTop",
                   {"--seed", "18446744073709551616"},
                   TAction::Error,
                   "--seed: '18446744073709551616' is not a whole number from 0 to"},
        TParseCase{"SeedSigned", {"--seed", "+5"}, TAction::Error, "--seed: '+5'"},
        TParseCase{
            .Name = "File", .Arguments = {"set.json"}, .Action = TAction::Run, .File = "set.json"},
        TParseCase{.Name = "FileAfterDashDash",
                   .Arguments = {"--", "--log"},
                   .Action = TAction::Run,
                   .File = "--log"},
        TParseCase{
            .Name = "QtOptionsPassOverWithTheirValues",
            .Arguments = {"-platform", "offscreen", "--display", ":5", "-style=fusion", "-reverse",
                          "-qwindowtitle", "set.json", "--log", "file", "mine.json"},
            .Action = TAction::Run,
            .Media = dmFile,
            .File = "mine.json"},
        TParseCase{
            "QtReadsNoEqualsAfterPlatform", {"--platform=xcb"}, TAction::Error, "'platform'"},
        TParseCase{"UnknownOption", {"--bogus"}, TAction::Error, "'bogus'"},
        TParseCase{"UnknownOptionNamedWhole", {"--log.file"}, TAction::Error, "'log.file'"},
        TParseCase{"UnknownSingleDash", {"-x"}, TAction::Error, "'x'"},
        TParseCase{"LogWithoutValue", {"--log"}, TAction::Error, "--log"},
        TParseCase{
            "UnknownMedium", {"--log", "window"}, TAction::Error, "--log: unknown medium 'window'"},
        TParseCase{"MediumIsCaseSensitive", {"--log", "File"}, TAction::Error, "'File'"},
        TParseCase{"EmptyLogDir", {"--log-dir="}, TAction::Error, "--log-dir"},
        TParseCase{"EmptyDevice", {"--device", ""}, TAction::Error, "--device"},
        TParseCase{"TwoFiles", {"a.json", "b.json"}, TAction::Error, "'a.json', 'b.json'"}),
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
