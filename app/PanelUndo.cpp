#include "PanelUndo.h"

#include <algorithm>

namespace {
// Every merging command shares one id; mergeWith tells keys apart.
constexpr int kKnobStepId = 0x4b4e;
}  // namespace

std::vector<TParameterSend> ChangedParameters(const TSoundSet& from, const TSoundSet& to) {
  std::vector<TParameterSend> sends;
  for (int s = 0; s < kSoundCount; ++s) {
    const TParameterValues& a = from.Records[s].Values;
    const TParameterValues& b = to.Records[s].Values;
    if (a == b) continue;
    for (int i = 0; i < kParameterCount; ++i) {
      if (a[i] != b[i]) sends.push_back({s, i, b[i]});
    }
  }
  return sends;
}

TStateChange TStateChange::Between(const TSoundSet& before, const TSoundSet& after) {
  TStateChange change;
  for (int s = 0; s < kSoundCount; ++s) {
    if (!(before.Records[s] == after.Records[s])) {
      change.Records.push_back({s, before.Records[s], after.Records[s]});
    }
  }
  change.SelectedBefore = before.SelectedSound;
  change.SelectedAfter = after.SelectedSound;
  change.BaseChannelBefore = before.BaseChannel;
  change.BaseChannelAfter = after.BaseChannel;
  return change;
}

bool TStateChange::IsEmpty() const {
  return SelectedBefore == SelectedAfter && BaseChannelBefore == BaseChannelAfter &&
         std::all_of(Records.begin(), Records.end(),
                     [](const TRecordChange& r) { return r.Before == r.After; });
}

void TStateChange::ApplyTo(TSoundSet& state, bool after) const {
  for (const TRecordChange& r : Records) state.Records[r.Sound] = after ? r.After : r.Before;
  state.SelectedSound = after ? SelectedAfter : SelectedBefore;
  state.BaseChannel = after ? BaseChannelAfter : BaseChannelBefore;
}

void TStateChange::Append(const TStateChange& later) {
  for (const TRecordChange& r : later.Records) {
    const auto at =
        std::lower_bound(Records.begin(), Records.end(), r.Sound,
                         [](const TRecordChange& mine, int sound) { return mine.Sound < sound; });
    if (at != Records.end() && at->Sound == r.Sound) {
      at->After = r.After;
    } else {
      Records.insert(at, r);
    }
  }
  SelectedAfter = later.SelectedAfter;
  BaseChannelAfter = later.BaseChannelAfter;
}

TPanelStateCommand::TPanelStateCommand(const QString& text, TStateChange change,
                                       TPanelStateTarget& target, const void* mergeKey)
    : QUndoCommand(text), FChange(std::move(change)), FTarget(target), FMergeKey(mergeKey) {}

void TPanelStateCommand::Restore(bool after) {
  TSoundSet state = FTarget.CurrentState();
  FChange.ApplyTo(state, after);
  FTarget.RestoreState(state);
}

void TPanelStateCommand::undo() {
  Restore(false);
  FDone = false;
}

void TPanelStateCommand::redo() {
  if (FDone) return;  // pushed after the action itself
  Restore(true);
  FDone = true;
}

int TPanelStateCommand::id() const { return FMergeKey != nullptr ? kKnobStepId : -1; }

bool TPanelStateCommand::mergeWith(const QUndoCommand* other) {
  const auto* later = dynamic_cast<const TPanelStateCommand*>(other);
  if (later == nullptr || later->FMergeKey != FMergeKey) return false;
  FChange.Append(later->FChange);
  setObsolete(FChange.IsEmpty());
  return true;
}
