#pragma once

#include <QApplication>
#include <cstdint>
#include <optional>

// The application object. An error that leaves an event handler is reported through the error
// boundary (ErrorBoundary.h) and the event loop goes on, so that one failed command never ends a
// live set.
class TApplication : public QApplication {
public:
  TApplication(int& argc, char** argv);

  // The last resort for an error that leaves an event handler some other way.
  bool notify(QObject* receiver, QEvent* event) override;

  // Creates the main window, shows it and runs the event loop until it is closed; the result is
  // then 0. With `device`, that MIDI output device is selected in the window's picker (not
  // opened); a name the picker does not list is reported on standard error and changes nothing.
  // Without it, the output opened last in an earlier run is opened, or waited for until listed.
  // A sound set named by `soundSet` is opened once the window shows; if it cannot be, the error
  // is shown and the panel starts as it would without it. An error while the window is made, or
  // one that leaves the event loop, is shown and on standard error, and the result is 1.
  // With `input`, that MIDI input device is followed (one not listed is reported on standard error
  // and the panel goes on without input); without it, the input chosen last in the window.
  // `thru` passes the input on to the output. A `tempo` (BPM) runs the MIDI clock at it for this
  // run; 0 takes the tempo chosen last in the window, if any. A `seed` makes Mutate and
  // Randomize repeat their moves.
  int RunMainForm(const QString& device = {}, const QString& soundSet = {},
                  const QString& input = {}, bool thru = false, double tempo = 0,
                  std::optional<std::uint64_t> seed = std::nullopt);
};
