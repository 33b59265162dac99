#pragma once

#include <QKeySequence>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "ClockTempo.h"
#include "DebugDevice.h"
#include "MidiIn.h"
#include "MidiOut.h"
#include "MidiOutStatus.h"
#include "SkinSource.h"
#include "SoundDesign.h"
#include "SoundMemory.h"
#include "SoundSetDocument.h"

namespace Ui {
class MainForm;
}
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QScrollArea;
class QAction;
class QTimer;
class QUndoStack;
class TSkinCheckBox;
class TSkinKnob;

// Where a window showing a panel of size `panel` goes, its frame of `frame` margins first put at
// `corner`: a client area as large as the panel where `available` holds it with its frame; else as
// much as it holds, widened (or heightened) by a scroll bar's breadth `bar` where the panel
// scrolls the other way and there is room. The frame's corner stays where the whole frame lies
// within `available`, else moves the least way in.
struct TWindowFit {
  QPoint Corner;  // the frame's top-left
  QSize Client;
};
TWindowFit FitWindow(const QPoint& corner, const QSize& panel, const QMargins& frame, int bar,
                     const QRect& available);

// The sound box an arrow key moves the focus to from `box` (0..15, two rows of eight: BD..CB
// above CH..M4); the same box at an edge; -1 for a key that is not an arrow.
int SoundBoxNeighbour(int box, int key);

// The panel's one window. Every control comes from the Designer layout; the handlers below are
// bound after the layout is built, so loading it raises no change event. Each handler is a short
// list of steps over the sound memory, the port and the log.
class TMainForm : public QWidget, private TSoundSetPanel {
  Q_OBJECT

public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  TSoundMemory& Memory() { return FMemory; }
  TMidiOut& MidiOut() { return *FMidiOut; }

  // The one entry point through which commands start a morph: copies the knobs and boxes into the
  // current record, blends, then sends and shows every ticked parameter in ascending order.
  void UpdateMorph();

  // Sends parameter index (0..23) of the selected sound as a control change on the sound's
  // channel and controller.
  void SendParameter(int index, int value);
  // Moves parameter knob index; the knob raises its change event.
  void SetParKnob(int index, int value);

  // Selects the MIDI output device named `name` (the whole name, as listed) in the device picker
  // without opening it. Returns false, leaving the picker as it is, when the list holds no such
  // device. A list still being read is waited for first (bounded by the service's answer wait).
  bool SelectDeviceByName(const QString& name);

  // ---- MIDI input (MainFormInput.cpp) ----

  TMidiIn& MidiIn() { return *FMidiIn; }
  // Follows the MIDI input device named `name`; false when no such input is listed.
  bool SelectInputByName(const QString& name);
  // Takes thru and (with `input`) the input chosen last in the menu, if any.
  void RestoreInput(bool input = true);
  // Thru: every whole short message from the input also goes to the output, unchanged and in
  // order, through the port's queue; system exclusive does not, nor, while the panel's clock has a
  // tempo, clock ticks, Start, Stop and Continue. Off unless chosen (remembered in the settings)
  // or given on the command line.
  void SetThru(bool thru, bool remember = false);
  bool Thru() const { return FThru; }
  // Takes what the input received: control changes of the block's parameters set them as a hand
  // on their knobs would, without sending, unless the parameter holds that value already; a run
  // of them is one undo step.
  void ReceiveInput();

  // ---- Remembered devices (MainFormDevices.cpp) ----

  // Opens the output opened last in an earlier run, when it is listed; otherwise the port waits
  // for it ("waiting for NAME to return" on the status line) and opens it once it is listed.
  // Nothing remembered: nothing happens.
  void RestoreOutput();
  // Follows the input `name` once it is listed; the status line says it is awaited meanwhile.
  void AwaitInput(const QString& name);

  // ---- MIDI clock and sweeps (MainFormClock.cpp) ----

  // Runs the port's MIDI clock at `bpm` (20 to 300; 0: off); `remember`: for later starts too.
  // Off while ticks go out sends Stop first. A tempo chosen while the instrument is started
  // without ticks (Start or Continue sent while off, no Stop since) starts them a period later.
  // False, changing nothing, for another tempo.
  bool SetClockTempo(double bpm, bool remember = false);
  // Runs the clock at `tempo` for this run, or without one (0) at the tempo chosen last, if any.
  void RestoreClock(double tempo = 0);
  // One tap of the tap-tempo key: from the second tap in time on, the clock runs at their tempo.
  void TapTempo();
  // Moves the mix knob from where it is to `end` (0: bank A, 100: bank B) in time with the running
  // clock, over SweepBars() bars of four quarter notes; nothing without running clock ticks. The
  // sweep is one undo step, and so is whatever else changes while it runs. Stop, the user's own
  // change of the mix knob, a press on it, another sound, undo, redo, opening a set, and pasting or
  // opening a sound end it where it is; the clock stopping ends it too. It moves when the port
  // says ticks have gone out.
  void SweepTo(int end);
  bool Sweeping() const { return FSweep.Active; }
  // The sweep's length in bars: 1, 2, 4, 8 or 16; `remember`: for later starts too.
  void SetSweepBars(int bars, bool remember = false);
  int SweepBars() const { return FSweepBars; }

  // ---- Sound design (MainFormSoundDesign.cpp) ----

  // Puts the selected sound on the clipboard as a sound document's text.
  void CopySound();
  // Puts the clipboard's sound onto the selected sound (values, ticks, both banks, the mix
  // knobs), sends its 24 values as Send sound does, and records one step. Text that is not a
  // sound is refused with one message saying why, and nothing changes.
  bool PasteSound();
  // Moves the selected sound's ticked values (all 24 when none is ticked) at random within
  // MutationAmount() either way, or anywhere in 0..127; sends the values that changed, one step.
  void MutateSound();
  void RandomizeSound();
  // 4, 8, 16, 32 or 64; `remember`: for later starts too.
  void SetMutationAmount(int amount, bool remember = false);
  int MutationAmount() const { return FMutationAmount; }
  // Makes the sequence of random moves the same in every run with this seed.
  void SetMutationSeed(std::uint64_t seed);
  // A sound file into the selected sound, as a paste; the selected sound into a sound file.
  bool OpenSound(const QString& path);
  bool SaveSound(const QString& path);

  // Handlers, called with the control that raised the event.
  void FormCreate();
  void ParKnobChange(QObject* Sender);
  void BaseChannelComboBoxChange(QObject* Sender);
  void ParameterCheckBoxClick(QObject* Sender);
  void GroupFilterButtonClick(QObject* Sender);
  void SoundCheckBoxClick(QObject* Sender);
  void PresetAKnobChange(QObject* Sender);
  void PresetBKnobChange(QObject* Sender);
  void ADownButtonClick(QObject* Sender);
  void AUpButtonClick(QObject* Sender);
  void BDownButtonClick(QObject* Sender);
  void BUpButtonClick(QObject* Sender);
  void StoreAButtonClick(QObject* Sender);
  void RecallAButtonClick(QObject* Sender);
  void StoreBButtonClick(QObject* Sender);
  void RecallBButtonClick(QObject* Sender);
  void MixKnobChange(QObject* Sender);
  void Button1Click(QObject* Sender);
  void Button2Click(QObject* Sender);
  void Button3Click(QObject* Sender);
  void OpenButtonClick(QObject* Sender);
  void CloseButtonClick(QObject* Sender);

  // ---- Sound sets, sending, undo (MainFormSoundSets.cpp) ----

  // The panel's sound set as a document: its file, modified state, recent files, caption, the
  // question before unsaved work is dropped, undo and the recovery copy.
  TSoundSetDocument& Document() { return *FDocument; }
  // Opens a sound-set file (see TSoundSetDocument::Open).
  bool OpenSoundSet(const QString& path) { return FDocument->Open(path); }

  // The selected sound's 24 values in ascending parameter order; all sixteen sounds in sound
  // order. Both go out as a knob's values do.
  void SendSound();
  void SendAllSounds();

  // Undo and redo restore the memory and the controls and send the values that changed. Neither
  // acts while a knob is being dragged.
  void Undo();
  void Redo();
  QUndoStack& UndoStack() { return FDocument->UndoStack(); }

  // Ends the program as closing the window would, without asking about unsaved work, which is
  // kept in the recovery copy for the next start (a termination signal).
  void EndWithoutQuestion();
  bool Ending() const { return FCloseWithoutQuestion; }

  // Puts a state into the memory and the controls without sending or recording anything.
  void ShowState(const TSoundSet& state) override;

  // The port's status line below the transport buttons, and the device list's tooltip, which
  // says the same. Refreshed a few times a second and after every port command. While the user
  // turns a knob (and a few seconds after), or a knob has the keyboard's focus, the line shows
  // that knob's name and value before the port's state ("Filter Freq: 64; MIDI closed"); the
  // tooltip keeps the port's state alone.
  QLabel* MidiStatusLabel() const { return FMidiStatusLabel; }
  void UpdateMidiStatus();

  // Moves the window the least way that puts all of it, its frame and title bar included, on
  // its screen's available area, when it is not already there (a scale factor or a small
  // screen); where even the whole area is too small, the window shrinks to it and the panel
  // scrolls. Called once the window is shown, and again when a window manager has framed it.
  void KeepOnScreen();

protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

private:
  using THandler = void (TMainForm::*)(QObject*);

  void BindHandlers();
  // Gives every skinned control the name a user knows it by and each knob its value's text, for
  // value hints and assistive tools.
  void NameControls();
  // Puts the sound boxes and knobs into the Tab chain after the layout's own stops.
  void JoinTabChain();
  QString KnobStatusText() const;
  // A window-wide command named `name` (its action's object name) on those keys, run through the
  // application's dispatch.
  QAction* AddCommand(const char* name, const QString& text, QList<QKeySequence> keys,
                      std::function<void()> command);
  void SetUpSoundSetCommands();
  // The background's menu of commands, opened at `at` (global); from the keyboard, at the
  // centre of the control that has the focus (FocusPoint).
  void ShowSoundSetMenu(const QPoint& at);
  QPoint FocusPoint() const;
  // Runs a bound handler; an outermost handler that changes the state outside a knob drag
  // becomes one undo step (wheel and key turns of one knob fold into one).
  void RecordStep(THandler handler, QObject* sender);
  bool DragInProgress();
  void FinishDrag();
  TSoundSet CurrentState() const override;
  void RestoreState(const TSoundSet& state) override;
  void SendSoundParameter(int sound, int index, int value);
  void StepPreset(TSkinKnob* first, TSkinKnob* second, int step);
  void SetUpInput();
  void AddInputMenu(QMenu* menu);
  void SetReceivedParameter(int sound, int index, int value);
  void RememberOutput(const QString& name);
  // Reads the device lists for the awaited devices and follows those that are there; repeated
  // every second while any is awaited.
  void LookForAwaitedDevices();
  void SetUpClock();
  void AddClockMenu(QMenu* menu);
  // Enables the sweep commands while the clock's ticks go out.
  void UpdateClockActions();
  void SweepStep();
  // Ends a running sweep where it is and records it as one step.
  void EndSweep();
  void SetUpSoundDesign();
  void AddSoundDesignMenu(QMenu* menu);
  bool PutSound(const TSoundRecord& sound, const QString& text);
  void MoveValues(const std::function<TParameterValues()>& move, const QString& text);
  QString SoundFolder() const;
  void SaveSoundWithDialog();

  std::unique_ptr<Ui::MainForm> ui;
  TSkinSource SoundSelectionSkinSource;
  TSkinSource KnobSkinSource;
  TDebugDevice DebugDevice;
  std::unique_ptr<TMidiOut> FMidiOut;
  QLabel* FMidiStatusLabel = nullptr;
  TMidiOutStatus FMidiStatus;
  static constexpr int kKnobStatusMilliseconds = 3000;
  QTimer* FKnobStatusTimer = nullptr;
  QPointer<TSkinKnob> FTurnedKnob;
  QWidget* FPanel = nullptr;  // holds every control, at the layout's places
  QScrollArea* FPanelScroller = nullptr;
  bool FPlaceWhenFramed = false;  // shown, but not yet fitted with its frame

  bool FSuppressMorph = false;
  bool FSuppressParKnob = false;
  TSoundMemory FMemory;
  std::array<TSkinKnob*, kParameterCount> FParKnobs{};
  std::array<QCheckBox*, kParameterCount> FParCheckBoxes{};
  std::array<TSkinCheckBox*, kSoundCount> FSoundBoxes{};

  TSoundSetDocument* FDocument = nullptr;
  bool FCloseWithoutQuestion = false;
  int FHandlerDepth = 0;
  bool FRestoring = false;
  QObject* FDragKnob = nullptr;
  TSoundSet FDragBefore;

  TMidiIn* FMidiIn = nullptr;
  bool FThru = false;
  std::optional<std::uint32_t> FLastReceived;  // the tick count at the last received change
  int FReceivedRun = 0;
  std::array<char, 2> FReceivedKeys{};  // merge keys: a new run takes the other one
  QString FAwaitedOutput;               // remembered devices not listed yet
  QString FAwaitedInput;
  QTimer* FAwaitTimer = nullptr;

  struct TSweep {
    bool Active = false;
    int From = 0;
    int To = 0;
    int Shown = 0;  // the knob's position as the sweep set it last
    int Sound = 0;  // the sound whose mix it moves
    std::uint64_t LastTick = 0;
    std::uint64_t Elapsed = 0;  // ticks since the sweep began
    std::uint64_t Total = 0;
    TSoundSet Before;
    QString Text;
  };
  TSweep FSweep;
  bool FSweepMoving = false;  // the knob is being moved by the sweep
  int FSweepBars = 4;
  std::array<QAction*, 2> FSweepActions{};  // to A, to B
  TTapTempo FTapTempo;
  std::uint32_t FTapTick = 0;    // the tick count at the last tap (at the start: the window's)
  std::int64_t FTapElapsed = 0;  // milliseconds from the start to the last tap

  TSoundMutator FMutator{0};
  int FMutationAmount = kDefaultMutationAmount;
  QString FSoundFolder;  // where a sound file was last opened or saved
};
