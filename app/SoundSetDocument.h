#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "PanelUndo.h"

class QUndoStack;
class TRecoveryCopy;
class QWidget;

// What the document needs of the panel besides a state to record and restore: a way to show a
// state without sending it or recording it (an opened or recovered set).
class TSoundSetPanel : public TPanelStateTarget {
public:
  virtual void ShowState(const TSoundSet& state) = 0;
};

// The panel's sound set as a document: its file, whether it has changes since that file (from
// the undo stack's clean state), the recent files, the window's caption, the question before
// unsaved work is dropped, and a recovery copy of unsaved work.
//
// Every path that would drop the current set (closing, New, Open, Open Recent) goes through
// MaybeSave() first. Opening is an undo step: undoing it restores the values together with the
// previous file name and modified state, and redoing it brings the opened file back. New and
// restoring recovered work are steps of the same kind.
class TSoundSetDocument : public QObject {
  Q_OBJECT

public:
  // Asks the user; the answer is one of `buttons`. Tests put an answer in place of the dialog.
  using TQuestion = std::function<QMessageBox::StandardButton(
      const QString& text, QMessageBox::StandardButtons buttons)>;

  // `window` shows the caption and parents the dialogs; its title when made is the caption's
  // base, shown alone while there is no file and no change.
  TSoundSetDocument(QWidget& window, TSoundSetPanel& panel);
  ~TSoundSetDocument() override;

  QUndoStack& UndoStack() { return *FUndoStack; }
  // Records an action already done, from `before` to the panel's current state, as one step;
  // steps with the same non-null merge key in a row fold into one. Nothing changed: no step.
  void PushStep(const QString& text, const TSoundSet& before, const void* mergeKey = nullptr);

  // Opens `path` at once: the panel shows it, nothing is sent, and the opening is one step. On
  // failure the error is shown (naming the file and the fault) and the result is false.
  bool Open(const QString& path);
  // The user's Open: asks about unsaved work first; a recent entry whose file is gone is taken
  // off the list after its error.
  bool OpenAsked(const QString& path);
  void OpenWithDialog();
  // The user's New: asks about unsaved work first, then shows the state the panel started in,
  // unnamed and unmodified, as one step; nothing is sent.
  bool New();
  // Saves atomically to `path`, which becomes the set's file. On failure the error is shown, the
  // old file is kept and the result is false.
  bool SaveTo(const QString& path);
  // Saves to the set's file, or asks for one when there is none yet.
  bool Save();
  // Asks for a file; the suffix is settled before the dialog checks for an existing file, so
  // replacing one always asks. A name that does not end in ".hvset" or ".json" gets ".hvset"
  // ("Techno 1.2" is written as "Techno 1.2.hvset").
  bool SaveAsWithDialog();
  // With unsaved changes: Save, Discard or Cancel. True when the current set may be dropped.
  bool MaybeSave();

  bool IsModified() const;
  // The open or saved set's file, absolute; empty when the set has none.
  const QString& Path() const { return FPath; }
  // The files most recently opened or saved, newest first.
  static QStringList RecentFiles();
  void SetQuestion(TQuestion question) { FQuestion = std::move(question); }

  // ---- The recovery copy ----
  // Unsaved work is written to a recovery file in the user's state folder a few seconds after a
  // change; it is removed when the work is saved or dropped and when the document goes, unless
  // the program ends by a signal with work unsaved.
  // The delay is counted on the tick count (GetTickCount) from the first change not yet in a
  // copy; later changes do not put it off. A timer wakes the check; CheckRecovery is that check.
  // A copy that cannot be written is tried again after the same delay, for as long as it fails;
  // RecoveryError tells why meanwhile.
  static constexpr std::uint32_t kRecoveryDelayMs = 3000;
  void CheckRecovery();
  // Why the last recovery copy could not be written; empty once one could.
  const QString& RecoveryError() const { return FRecoveryError; }
  // Offers, newest first, every recovery file whose lock no running program holds (the
  // question's Yes reads "Restore"). Restore shows it as unsaved work (of its file, if it had
  // one) as one step, like Open; no state counts as saved until the user saves, and the file
  // stays until the restored work is saved or discarded. Discard removes it. A question that
  // ends otherwise (the program is ending) keeps it, and offers no more.
  void OfferRecovery();
  // Writes the recovery copy now when there is unsaved work, and keeps it past the document's
  // end: the program is ending without asking.
  void KeepRecovery();
  // This process's recovery file; empty while there is none.
  QString RecoveryPath() const;
  // Where the user's recovery files are: $XDG_STATE_HOME/halvorine, or ~/.local/state/halvorine.
  static QString StateFolder();

signals:
  // RecoveryError() has changed.
  void RecoveryErrorChanged();

private:
  class TOpenCommand;
  class TRestoreCommand;
  // A file name, and whether the set was the same as that file at the undo index where this
  // side stands (the index before an Open for its old side, after it for its new side).
  struct TFileSide {
    QString Path;
    bool Clean = false;
  };

  TFileSide CurrentSide() const;
  // Takes `side` as the set's file once the stack has reached its new index.
  void RestoreSideAfterStep(const TFileSide& side) { FPendingSide = side; }
  void ApplyPendingSide();
  void SetPath(const QString& path);
  void UpdateCaption();
  QMessageBox::StandardButton Ask(const QString& text, QMessageBox::StandardButtons buttons);
  // Pushes a step that shows `set` under `path` in the place of the current set.
  void ShowAsStep(const QString& text, const TSoundSet& set, TFileSide before);
  void ScheduleRecovery();
  void WriteRecovery();
  void RemoveRecovery();
  // Whether the newest Restore step is part of the state shown.
  bool RestoredWorkShown() const;
  // The recovered files whose work is on the stack go: it was saved or discarded.
  void DropRestoredCopies();

  QWidget& FWindow;
  TSoundSetPanel& FPanel;
  QUndoStack* FUndoStack;
  QString FBaseCaption;
  QString FPath;
  TQuestion FQuestion;
  std::optional<TFileSide> FPendingSide;
  TSoundSet FStartUpState;
  QTimer FRecoveryTimer;
  std::optional<std::uint32_t> FRecoverySince;   // the first change not yet in a recovery copy
  std::unique_ptr<TRecoveryCopy> FRecoveryCopy;  // this process's, once claimed
  bool FRecoveryWritten = false;
  bool FKeepRecovery = false;
  QString FRecoveryError;
  // Files of earlier programs whose work was restored here, held until it is saved or discarded.
  std::vector<std::unique_ptr<TRecoveryCopy>> FRestoredCopies;
  const QUndoCommand* FLastRestore = nullptr;
};
