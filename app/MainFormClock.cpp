// The main window's MIDI clock: its tempo (the context menu, tap tempo, the command line, the
// settings) and the sweeps of the mix knob that follow its ticks. The window looks at the clock
// when the port says ticks have gone out, or they started or ended: the sweep moves then, and the
// sweep commands follow. No control of the layout is added or moved.
#include <QAction>
#include <QActionGroup>
#include <QInputDialog>
#include <QMenu>

#include <algorithm>
#include <iterator>

#include "ErrorBoundary.h"
#include "MainForm.h"
#include "SkinKnob.h"
#include "TickCount.h"
#include "UserSettings.h"
#include "ui_MainForm.h"

namespace {

constexpr const char* kTempoKey = "MidiClockTempo";  // 0: no clock
constexpr const char* kSweepBarsKey = "SweepBars";
constexpr int kSweepLengths[] = {1, 2, 4, 8, 16};
constexpr int kMixA = 0;
constexpr int kMixB = 100;

bool KnownSweepLength(int bars) {
  return std::find(std::begin(kSweepLengths), std::end(kSweepLengths), bars) !=
         std::end(kSweepLengths);
}

}  // namespace

void TMainForm::SetUpClock() {
  FTapTick = GetTickCount();
  connect(FMidiOut.get(), &TMidiOut::ClockMoved, this, [this] {
    TErrorBoundary::Dispatch([this] {
      UpdateClockActions();
      SweepStep();
    });
  });
  const int bars = UserSettings().value(QString::fromLatin1(kSweepBarsKey)).toInt();
  if (KnownSweepLength(bars)) FSweepBars = bars;

  const auto add = [this](const char* name, const QString& text, const QKeySequence& key,
                          std::function<void()> command) {
    return AddCommand(name, text, {key}, std::move(command));
  };
  add("TapTempoAction", tr("Tap tempo"), QKeySequence(Qt::CTRL | Qt::Key_T),
      [this] { TapTempo(); });
  FSweepActions[0] =
      add("SweepToAAction", tr("Sweep to A"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A),
          [this] { SweepTo(kMixA); });
  FSweepActions[1] =
      add("SweepToBAction", tr("Sweep to B"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_B),
          [this] { SweepTo(kMixB); });
  UpdateClockActions();
}

bool TMainForm::SetClockTempo(double bpm, bool remember) {
  // An instrument left started without its clock would wait for ticks: Off stops it first.
  if (bpm == 0 && FMidiOut->ClockPosition().Running) {
    EndSweep();
    FMidiOut->SendStop();
  }
  if (!FMidiOut->SetClockTempo(bpm)) return false;
  if (remember) UserSettings().setValue(QString::fromLatin1(kTempoKey), bpm);
  UpdateMidiStatus();
  return true;
}

void TMainForm::RestoreClock(double tempo) {
  const double bpm =
      tempo > 0 ? tempo : UserSettings().value(QString::fromLatin1(kTempoKey)).toDouble();
  // A remembered value that is no tempo (an edited settings file) leaves the clock off.
  if (bpm > 0) SetClockTempo(bpm);
}

void TMainForm::TapTempo() {
  // Differences of the tick count hold across its wrap.
  const std::uint32_t now = GetTickCount();
  FTapElapsed += now - FTapTick;
  FTapTick = now;
  if (const std::optional<double> bpm = FTapTempo.Tap(FTapElapsed)) {
    SetClockTempo(*bpm, true);
  }
}

void TMainForm::SetSweepBars(int bars, bool remember) {
  if (!KnownSweepLength(bars)) return;
  FSweepBars = bars;
  if (remember) UserSettings().setValue(QString::fromLatin1(kSweepBarsKey), bars);
}

void TMainForm::UpdateClockActions() {
  const bool running = FMidiOut->ClockPosition().Running;
  for (QAction* action : FSweepActions) {
    if (action != nullptr && action->isEnabled() != running) action->setEnabled(running);
  }
}

void TMainForm::AddClockMenu(QMenu* menu) {
  QMenu* clock = menu->addMenu(tr("MIDI clock"));
  auto* group = new QActionGroup(clock);
  const double tempo = FMidiOut->ClockTempo();
  QAction* off = clock->addAction(
      tr("Off"), this, [this] { TErrorBoundary::Dispatch([this] { SetClockTempo(0, true); }); });
  off->setCheckable(true);
  off->setChecked(tempo == 0);
  group->addAction(off);
  if (tempo > 0) {
    QAction* current = clock->addAction(ClockTempoText(tempo));
    current->setCheckable(true);
    current->setChecked(true);
    group->addAction(current);
  }
  clock->addAction(tr("Tempo..."), this, [this, tempo] {
    TErrorBoundary::Dispatch([this, tempo] {
      bool chosen = false;
      const double bpm = QInputDialog::getDouble(
          this, tr("MIDI clock"), tr("Tempo in beats a minute:"), tempo > 0 ? tempo : 120.0,
          kMidiClockMinBpm, kMidiClockMaxBpm, 2, &chosen);
      if (chosen) SetClockTempo(bpm, true);
    });
  });
  clock->addSeparator();
  clock->addAction(findChild<QAction*>(QStringLiteral("TapTempoAction")));

  UpdateClockActions();
  for (QAction* action : FSweepActions) menu->addAction(action);
  QMenu* length = menu->addMenu(tr("Sweep length"));
  auto* lengths = new QActionGroup(length);
  for (const int bars : kSweepLengths) {
    QAction* item = length->addAction(bars == 1 ? tr("1 bar") : tr("%1 bars").arg(bars), this,
                                      [this, bars] { SetSweepBars(bars, true); });
    item->setCheckable(true);
    item->setChecked(bars == FSweepBars);
    lengths->addAction(item);
  }
}

// ---- Sweeps ----

void TMainForm::SweepTo(int end) {
  const TMidiClockPosition clock = FMidiOut->ClockPosition();
  // A knob held by the mouse is the user's; the sweep would pull it from under the pointer.
  if (!clock.Running || DragInProgress()) return;
  EndSweep();
  const int from = ui->MixKnob->GetPosition();
  if (from == end) return;
  FSweep.Active = true;
  FSweep.From = from;
  FSweep.To = end;
  FSweep.Shown = from;
  FSweep.Sound = FMemory.SelectedSound();
  FSweep.LastTick = clock.Ticks;
  FSweep.Elapsed = 0;
  FSweep.Total = static_cast<std::uint64_t>(FSweepBars) * kMidiClockTicksPerBar;
  FSweep.Before = CurrentState();
  FSweep.Text = end == kMixA ? tr("Sweep to A") : tr("Sweep to B");
}

void TMainForm::SweepStep() {
  if (!FSweep.Active) return;
  const TMidiClockPosition clock = FMidiOut->ClockPosition();
  // The clock stopped, or something other than the sweep moved the knob or chose another sound.
  if (!clock.Running || ui->MixKnob->GetPosition() != FSweep.Shown ||
      FMemory.SelectedSound() != FSweep.Sound) {
    EndSweep();
    return;
  }
  if (clock.Ticks == FSweep.LastTick) return;
  // A Start while the sweep runs counts the ticks from 0 again; the sweep goes on from where it is.
  FSweep.Elapsed += clock.Ticks > FSweep.LastTick ? clock.Ticks - FSweep.LastTick : clock.Ticks;
  FSweep.LastTick = clock.Ticks;
  const int position = SweepPosition(FSweep.From, FSweep.To, FSweep.Elapsed, FSweep.Total);
  if (position != FSweep.Shown) {
    // The knob's change handler sends the ticked parameters' blend, through the port's queue of
    // latest values: a slow wire skips positions rather than fall behind the clock.
    FSweep.Shown = position;
    FSweepMoving = true;
    ui->MixKnob->SetPosition(position);
    FSweepMoving = false;
  }
  if (FSweep.Elapsed >= FSweep.Total) EndSweep();
}

void TMainForm::EndSweep() {
  if (!FSweep.Active) return;
  // Read while the sweep still runs: a drag whose release was missed is finished here, into it.
  const bool dragging = DragInProgress();
  FSweep.Active = false;
  if (dragging) {
    // The drag's step, recorded at its release, takes the sweep in.
    FDragBefore = FSweep.Before;
    return;
  }
  FDocument->PushStep(FSweep.Text, FSweep.Before);
}
