#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DebugDevice.h"

// What the command line asks for. It is parsed before any application object exists, so that
// --help, --version and a bad argument are answered without a display and without a window.
struct TCommandLine {
  enum class TAction { Run, Help, Version, Error };

  TAction Action = TAction::Run;
  // Help and Version: the text for standard output. Error: the one line for standard error,
  // naming the option or value at fault, without its line end.
  QString Text;

  TDebugMedia LogMedia = dmNull;  // --log
  QString LogDir;                 // --log-dir; empty: the default folder
  QString Device;                 // --device; empty: the picker as it comes
  bool ListDevices = false;       // --list-devices: print the MIDI output devices, no window
  QString File;                   // the sound-set file to open; empty: none
  QString Input;                  // --input; empty: the input chosen last in the window
  bool Thru = false;              // --thru
  double Tempo = 0;               // --tempo: the clock's BPM for this run; 0: the one chosen last
  std::optional<std::uint64_t> Seed;  // --seed: Mutate and Randomize repeat their moves
  // --midi-rate NAME=BYTES_PER_SECOND, each given: the output rate of that device (0: unpaced).
  std::vector<std::pair<std::string, std::uint32_t>> MidiRates;
};

// The exit code of a bad option or value.
inline constexpr int kExitBadArgument = 2;
// The exit code when the window cannot be shown: no display, or an error while it is made.
inline constexpr int kExitStartFailed = 1;

// Parses arguments[1..] (arguments[0] is the program). Qt's own options (-platform, -display,
// -style and the others, with one dash or two) are passed over with their values; the
// application object reads them from the same arguments later.
TCommandLine ParseCommandLine(const QStringList& arguments);

// Where the file medium puts "Debug.txt".
struct TLogFolder {
  QString Folder;  // empty when no usable folder was found
  QString Error;   // why, when Folder is empty
};

// The user's state folder for this program: `xdgStateHome`/halvorine, where `xdgStateHome`
// counts only when it is an absolute path and `home`/.local/state stands in for it otherwise.
QString UserStateFolder(const QString& xdgStateHome, const QString& home);

// The log's folder: `logDir` when given (made if missing); otherwise `executableFolder` when it
// is a build tree's (not an install prefix's bin/) and a file can be made in it; otherwise
// UserStateFolder. The chosen folder is made if missing and must take a new file.
TLogFolder ChooseLogFolder(const QString& logDir, const QString& executableFolder,
                           const QString& xdgStateHome, const QString& home);
