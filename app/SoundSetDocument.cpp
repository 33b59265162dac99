#include "SoundSetDocument.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QUndoStack>
#include <QWidget>

#include "CommandLine.h"
#include "ErrorBoundary.h"
#include "RecoveryCopy.h"
#include "TickCount.h"
#include "UserSettings.h"

namespace {

constexpr int kUndoLimit = 1000;
constexpr int kRecentCount = 8;
const char* const kRecentKey = "recentSoundSets";
const char* const kFileFilter = "Sound sets (*.hvset *.json);;All files (*)";
const char* const kDefaultSuffix = "hvset";

void EditRecent(const std::function<void(QStringList&)>& edit) {
  QSettings settings = UserSettings();
  QStringList recent = settings.value(kRecentKey).toStringList();
  edit(recent);
  settings.setValue(kRecentKey, recent);
}

void RememberRecent(const QString& path) {
  EditRecent([&](QStringList& recent) {
    recent.removeAll(path);
    recent.prepend(path);
    while (recent.size() > kRecentCount) recent.removeLast();
  });
}

// `name` with ".hvset" added unless it ends in a suffix of sound sets. Qt's suffix is whatever
// follows the last dot, so "Techno 1.2" has one ("2") and would otherwise go without ".hvset".
QString WithSoundSetSuffix(const QString& name) {
  if (name.endsWith(QLatin1String(".hvset"), Qt::CaseInsensitive) ||
      name.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)) {
    return name;
  }
  return name + '.' + QString::fromLatin1(kDefaultSuffix);
}

}  // namespace

// Opening a set as an undo step: the values through the panel, and the file name with its
// modified state through the document, once the stack stands at its new index.
class TSoundSetDocument::TOpenCommand : public TPanelStateCommand {
public:
  TOpenCommand(const QString& text, TStateChange change, TSoundSetDocument& document,
               TFileSide before)
      : TPanelStateCommand(text, std::move(change), document.FPanel),
        FDocument(document),
        FBefore(std::move(before)) {}

  void undo() override {
    FAfter = FDocument.CurrentSide();
    TPanelStateCommand::undo();
    FDocument.RestoreSideAfterStep(FBefore);
  }
  void redo() override {
    if (FPushed) {  // the opening itself has already happened
      FPushed = false;
      TPanelStateCommand::redo();
      return;
    }
    FBefore = FDocument.CurrentSide();
    TPanelStateCommand::redo();
    FDocument.RestoreSideAfterStep(FAfter);
  }

private:
  TSoundSetDocument& FDocument;
  TFileSide FBefore;
  TFileSide FAfter;
  bool FPushed = true;
};

// Restoring recovered work: a step like opening, after which nothing counts as saved until the
// user saves (the side before it is never clean again: the restored values were never saved).
class TSoundSetDocument::TRestoreCommand : public TOpenCommand {
public:
  using TOpenCommand::TOpenCommand;
  ~TRestoreCommand() override {
    if (FDocumentOf->FLastRestore == this) FDocumentOf->FLastRestore = nullptr;
  }
  void SetDocument(TSoundSetDocument* document) { FDocumentOf = document; }

private:
  TSoundSetDocument* FDocumentOf = nullptr;
};

TSoundSetDocument::TSoundSetDocument(QWidget& window, TSoundSetPanel& panel)
    : QObject(&window),
      FWindow(window),
      FPanel(panel),
      FUndoStack(new QUndoStack(this)),
      FBaseCaption(window.windowTitle()),
      FStartUpState(panel.CurrentState()) {
  FUndoStack->setUndoLimit(kUndoLimit);
  connect(FUndoStack, &QUndoStack::indexChanged, this, [this] {
    ApplyPendingSide();
    ScheduleRecovery();
  });
  connect(FUndoStack, &QUndoStack::cleanChanged, this, [this] {
    UpdateCaption();
    ScheduleRecovery();
  });
  FRecoveryTimer.setSingleShot(true);
  connect(&FRecoveryTimer, &QTimer::timeout, this, [this] { CheckRecovery(); });
}

TSoundSetDocument::~TSoundSetDocument() {
  // Nobody hears of what happens from here on: the window may be going too.
  blockSignals(true);
  // The stack signals as it goes; it must go while this object is whole.
  FUndoStack->disconnect(this);
  delete FUndoStack;
  if (!FKeepRecovery) RemoveRecovery();
  // The restored files stay unless their work was saved or discarded; their locks go.
}

void TSoundSetDocument::PushStep(const QString& text, const TSoundSet& before,
                                 const void* mergeKey) {
  TStateChange change = TStateChange::Between(before, FPanel.CurrentState());
  if (change.IsEmpty()) return;
  FUndoStack->push(new TPanelStateCommand(text, std::move(change), FPanel, mergeKey));
}

TSoundSetDocument::TFileSide TSoundSetDocument::CurrentSide() const {
  return {FPath, FUndoStack->isClean()};
}

void TSoundSetDocument::ApplyPendingSide() {
  if (!FPendingSide) return;
  const TFileSide side = *std::exchange(FPendingSide, std::nullopt);
  FPath = side.Path;
  // The stack keeps one clean index; a side that was clean is clean here again, and one that was
  // not stays modified (its file's own clean index may have been passed over since).
  if (side.Clean) {
    FUndoStack->setClean();
  } else {
    FUndoStack->resetClean();
  }
  UpdateCaption();
}

// ---- Files ----

bool TSoundSetDocument::Open(const QString& path) {
  TSoundSet set;
  QString error;
  if (!ReadSoundSetFile(path, set, error)) {
    TErrorBoundary::ShowError(error);
    return false;
  }
  ShowAsStep(tr("Open sound set"), set, CurrentSide());
  SetPath(path);
  return true;
}

void TSoundSetDocument::ShowAsStep(const QString& text, const TSoundSet& set, TFileSide before) {
  const TSoundSet shown = FPanel.CurrentState();
  FPanel.ShowState(set);
  FUndoStack->push(new TOpenCommand(text, TStateChange::Between(shown, FPanel.CurrentState()),
                                    *this, std::move(before)));
}

bool TSoundSetDocument::New() {
  if (!MaybeSave()) return false;
  ShowAsStep(tr("New sound set"), FStartUpState, CurrentSide());
  FPath.clear();
  FUndoStack->setClean();
  UpdateCaption();
  return true;
}

bool TSoundSetDocument::OpenAsked(const QString& path) {
  if (!MaybeSave()) return false;
  if (Open(path)) return true;
  const QString absolute = QFileInfo(path).absoluteFilePath();
  if (!QFileInfo::exists(absolute)) {
    EditRecent([&](QStringList& recent) { recent.removeAll(absolute); });
  }
  return false;
}

void TSoundSetDocument::OpenWithDialog() {
  if (!MaybeSave()) return;
  const QString path = QFileDialog::getOpenFileName(&FWindow, tr("Open sound set"), FPath,
                                                    QString::fromLatin1(kFileFilter));
  if (!path.isEmpty()) Open(path);
}

bool TSoundSetDocument::SaveTo(const QString& path) {
  QString error;
  if (!WriteSoundSetFile(path, FPanel.CurrentState(), error)) {
    TErrorBoundary::ShowError(error);
    return false;
  }
  if (RestoredWorkShown()) DropRestoredCopies();
  SetPath(path);
  return true;
}

bool TSoundSetDocument::Save() { return FPath.isEmpty() ? SaveAsWithDialog() : SaveTo(FPath); }

bool TSoundSetDocument::SaveAsWithDialog() {
  QString chosen = FPath;
  for (;;) {
    QFileDialog dialog(&FWindow, tr("Save sound set"), QString(), QString::fromLatin1(kFileFilter));
    dialog.setObjectName(QStringLiteral("SaveSoundSetDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // The suffix is part of the name before anything is checked; the question about replacing
    // a file is asked here, about the name that will be written, whatever dialog is in use.
    dialog.setDefaultSuffix(QString::fromLatin1(kDefaultSuffix));
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!chosen.isEmpty()) dialog.selectFile(chosen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    chosen = WithSoundSetSuffix(dialog.selectedFiles().constFirst());
    if (!QFileInfo::exists(chosen) ||
        Ask(tr("\"%1\" already exists. Replace it?").arg(QFileInfo(chosen).fileName()),
            QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
      return SaveTo(chosen);
    }
  }
}

bool TSoundSetDocument::MaybeSave() {
  if (!IsModified()) return true;
  const QString text = FPath.isEmpty() ? tr("The sound set has unsaved changes. Save them?")
                                       : tr("The sound set \"%1\" has unsaved changes. Save them?")
                                             .arg(QFileInfo(FPath).fileName());
  switch (Ask(text, QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel)) {
    case QMessageBox::Save:
      return Save();
    case QMessageBox::Discard:
      DropRestoredCopies();
      return true;
    default:
      return false;
  }
}

bool TSoundSetDocument::IsModified() const { return !FUndoStack->isClean(); }

QStringList TSoundSetDocument::RecentFiles() {
  return UserSettings().value(kRecentKey).toStringList();
}

void TSoundSetDocument::SetPath(const QString& path) {
  FPath = QFileInfo(path).absoluteFilePath();
  FUndoStack->setClean();
  RememberRecent(FPath);
  UpdateCaption();
}

void TSoundSetDocument::UpdateCaption() {
  // A set with no file and no change keeps the caption the window has always had.
  const bool modified = IsModified();
  const QString mark = QStringLiteral("[*]");
  if (FPath.isEmpty()) {
    FWindow.setWindowTitle(modified ? FBaseCaption + mark : FBaseCaption);
  } else {
    FWindow.setWindowTitle(
        QStringLiteral("%1 - %2%3").arg(FBaseCaption, QFileInfo(FPath).fileName(), mark));
  }
  FWindow.setWindowModified(modified);
}

QMessageBox::StandardButton TSoundSetDocument::Ask(const QString& text,
                                                   QMessageBox::StandardButtons buttons) {
  if (FQuestion) return FQuestion(text, buttons);
  QMessageBox box(QMessageBox::Question, FBaseCaption, text, buttons, &FWindow);
  if (buttons & QMessageBox::Save) {
    box.setDefaultButton(QMessageBox::Save);
  } else if (buttons & QMessageBox::Discard) {
    box.button(QMessageBox::Yes)->setText(tr("Restore"));  // the recovery question
    box.setDefaultButton(QMessageBox::Yes);
  } else {
    box.setDefaultButton(QMessageBox::No);  // replacing a file is never the default
  }
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

// ---- The recovery copy ----

QString TSoundSetDocument::StateFolder() {
  return UserStateFolder(qEnvironmentVariable("XDG_STATE_HOME"), QDir::homePath());
}

QString TSoundSetDocument::RecoveryPath() const {
  return FRecoveryWritten ? FRecoveryCopy->Path() : QString();
}

void TSoundSetDocument::ScheduleRecovery() {
  if (!IsModified()) {
    FRecoverySince.reset();
    FRecoveryTimer.stop();
    RemoveRecovery();
  } else if (!FRecoverySince) {
    // Not put off by later changes: a long drag is still saved every few seconds.
    FRecoverySince = GetTickCount();
    FRecoveryTimer.start(int(kRecoveryDelayMs));
  }
}

void TSoundSetDocument::CheckRecovery() {
  if (!FRecoverySince) return;
  const std::uint32_t waited = GetTickCount() - *FRecoverySince;
  if (waited < kRecoveryDelayMs) {
    FRecoveryTimer.start(int(kRecoveryDelayMs - waited));
    return;
  }
  FRecoverySince.reset();
  WriteRecovery();
}

void TSoundSetDocument::WriteRecovery() {
  if (!IsModified()) return;
  const QString folder = StateFolder();
  QString error;
  if (!FRecoveryCopy) FRecoveryCopy = TRecoveryCopy::Claim(folder);
  const bool written = FRecoveryCopy != nullptr
                           ? FRecoveryCopy->Write(FPanel.CurrentState(), FPath, error)
                           : (error = tr("cannot lock a file in %1").arg(folder), false);
  if (written) {
    FRecoveryWritten = true;
    if (!FRecoveryError.isEmpty()) {
      FRecoveryError.clear();
      emit RecoveryErrorChanged();
    }
    return;
  }
  // The work itself is still on the panel; the copy is only a safety net, tried again until it
  // can be written. The reason is told once, not at every try.
  if (FRecoveryError.isEmpty()) qWarning("%s", qUtf8Printable(error));
  const QString text = tr("unsaved work not kept for recovery: %1").arg(error);
  if (text != FRecoveryError) {
    FRecoveryError = text;
    emit RecoveryErrorChanged();
  }
  FRecoverySince = GetTickCount();
  FRecoveryTimer.start(int(kRecoveryDelayMs));
}

void TSoundSetDocument::RemoveRecovery() {
  if (FRecoveryCopy) FRecoveryCopy->Remove();
  FRecoveryWritten = false;
  if (!FRecoveryError.isEmpty()) {
    FRecoveryError.clear();
    emit RecoveryErrorChanged();
  }
}

void TSoundSetDocument::KeepRecovery() {
  FRecoverySince.reset();
  FRecoveryTimer.stop();
  WriteRecovery();
  FKeepRecovery = true;
}

bool TSoundSetDocument::RestoredWorkShown() const {
  if (FLastRestore == nullptr) return false;
  for (int i = 0; i < FUndoStack->index(); ++i) {
    if (FUndoStack->command(i) == FLastRestore) return true;
  }
  return false;
}

void TSoundSetDocument::DropRestoredCopies() {
  for (const auto& copy : FRestoredCopies) copy->Remove();
  FRestoredCopies.clear();
}

void TSoundSetDocument::OfferRecovery() {
  for (const QString& path : TRecoveryCopy::List(StateFolder())) {
    if (FRecoveryCopy && path == FRecoveryCopy->Path()) continue;
    std::unique_ptr<TRecoveryCopy> copy = TRecoveryCopy::Adopt(path);
    // Held by a running program, or restored here already (this process holds its lock).
    if (!copy) continue;
    const QString of = copy->Of();
    const QString what =
        of.isEmpty() ? tr("an unnamed sound set") : tr("the sound set \"%1\"").arg(of);
    const QString text = tr("Unsaved work on %1 was kept from %2, when the panel last ended "
                            "without saving it. Restore it?")
                             .arg(what, QFileInfo(path).lastModified().toString(Qt::TextDate));
    const QMessageBox::StandardButton answer = Ask(text, QMessageBox::Yes | QMessageBox::Discard);
    if (answer == QMessageBox::Discard) {
      copy->Remove();
      continue;
    }
    // The question ended some other way (the program is ending): the copy stays for next time.
    if (answer != QMessageBox::Yes) return;
    TSoundSet set;
    QString error;
    if (!ReadSoundSetFile(path, set, error)) {
      // Kept for a look by hand under another name, so that it is not offered at every start.
      QFile::rename(path, path + QStringLiteral(".unreadable"));
      copy->Remove();
      TErrorBoundary::ShowError(error);
      continue;
    }
    const TSoundSet shown = FPanel.CurrentState();
    FPanel.ShowState(set);
    auto* step = new TRestoreCommand(tr("Restore unsaved work"),
                                     TStateChange::Between(shown, FPanel.CurrentState()), *this,
                                     TFileSide{FPath, false});
    step->SetDocument(this);
    FUndoStack->push(step);
    FLastRestore = step;
    FPath = of.isEmpty() ? QString() : QFileInfo(of).absoluteFilePath();
    FUndoStack->resetClean();
    UpdateCaption();
    ScheduleRecovery();
    FRestoredCopies.push_back(std::move(copy));
  }
}
