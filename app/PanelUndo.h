#pragma once

#include <QUndoCommand>
#include <vector>

#include "SoundSetFile.h"

// What an undo step needs of the panel: its state as a sound set, and a way to put a state back
// that shows it on the controls and sends what changed to the instrument.
class TPanelStateTarget {
public:
  virtual ~TPanelStateTarget() = default;
  virtual TSoundSet CurrentState() const = 0;
  virtual void RestoreState(const TSoundSet& state) = 0;
};

// One parameter value to send: sound 0..15, parameter index 0..23, value 0..127.
struct TParameterSend {
  int Sound;
  int Index;
  std::int32_t Value;
  bool operator==(const TParameterSend&) const = default;
};

// The values of `to` that differ from `from`, in sound order and, within a sound, in ascending
// parameter order: what must go out so that the instrument follows a restored state.
std::vector<TParameterSend> ChangedParameters(const TSoundSet& from, const TSoundSet& to);

// The difference between two states: the records that differ, each before and after, and the
// selection and base channel on both sides. Only the records an action changed are kept, so a
// long history stays small.
struct TStateChange {
  struct TRecordChange {
    int Sound;
    TSoundRecord Before;
    TSoundRecord After;
  };
  std::vector<TRecordChange> Records;  // ascending by Sound
  int SelectedBefore = 0;
  int SelectedAfter = 0;
  int BaseChannelBefore = 1;
  int BaseChannelAfter = 1;

  static TStateChange Between(const TSoundSet& before, const TSoundSet& after);
  // True when both sides are the same state.
  bool IsEmpty() const;
  // Writes one side of the change into `state`; records the change does not name are kept.
  void ApplyTo(TSoundSet& state, bool after) const;
  // Folds a later change into this one: this keeps its Before sides, the later one's After sides
  // win, and records only the later one names are added with its Before.
  void Append(const TStateChange& later);
};

// One user action on the panel. The action has already happened when the command is pushed, so
// its first redo() does nothing; later undo() and redo() restore the state through the target.
// Commands made with a merge key (a knob turned by wheel or keys, outside a drag) fold into the
// previous command of the same key, and a merged command that ends where it began is dropped.
class TPanelStateCommand : public QUndoCommand {
public:
  TPanelStateCommand(const QString& text, TStateChange change, TPanelStateTarget& target,
                     const void* mergeKey = nullptr);

  void undo() override;
  void redo() override;
  int id() const override;
  bool mergeWith(const QUndoCommand* other) override;

  const TStateChange& Change() const { return FChange; }

private:
  void Restore(bool after);

  TStateChange FChange;
  TPanelStateTarget& FTarget;
  const void* FMergeKey;
  bool FDone = true;
};
