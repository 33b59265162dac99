#include "SoundSetDocument.h"

#include <unistd.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QUndoStack>
#include <QWidget>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "Application.h"
#include "CommandLine.h"
#include "TickCount.h"

namespace {

constexpr int kUndoLimit = 1000;
constexpr int kRecentCount = 8;
const char* const kRecentKey = "recentSoundSets";
const char* const kFileFilter = "Sound sets (*.hvset *.json);;All files (*)";
const char* const kDefaultSuffix = "hvset";
const char* const kRecoveryPrefix = "recovery-";
const char* const kRecoverySuffix = ".hvset";
// Beside a recovery file: the file its work belongs to, when it has one.
const char* const kRecoveryOfSuffix = ".of";

QSettings Settings() {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Halvorine"),
                   QStringLiteral("Halvorine"));
}

void EditRecent(const std::function<void(QStringList&)>& edit) {
  QSettings settings = Settings();
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

QString RecoveryFileOf(qint64 pid) {
  return TSoundSetDocument::StateFolder() + QStringLiteral("/%1%2%3")
                                                .arg(QLatin1String(kRecoveryPrefix))
                                                .arg(pid)
                                                .arg(QLatin1String(kRecoverySuffix));
}

void RemoveRecoveryFile(const QString& path) {
  QFile::remove(path);
  QFile::remove(path + QLatin1String(kRecoveryOfSuffix));
}

// The process a recovery file's name says wrote it, or 0.
qint64 RecoveryOwner(const QString& fileName) {
  QString middle = fileName;
  if (!middle.startsWith(QLatin1String(kRecoveryPrefix)) ||
      !middle.endsWith(QLatin1String(kRecoverySuffix))) {
    return 0;
  }
  middle = middle.mid(int(std::strlen(kRecoveryPrefix)));
  middle.chop(int(std::strlen(kRecoverySuffix)));
  bool number = false;
  const qint64 pid = middle.toLongLong(&number);
  return number && pid > 0 ? pid : 0;
}

bool Running(qint64 pid) { return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH; }

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

TSoundSetDocument::TSoundSetDocument(QWidget& window, TSoundSetPanel& panel)
    : QObject(&window),
      FWindow(window),
      FPanel(panel),
      FUndoStack(new QUndoStack(this)),
      FBaseCaption(window.windowTitle()) {
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
  // The stack signals as it goes; it must go while this object is whole.
  FUndoStack->disconnect(this);
  delete FUndoStack;
  if (!FKeepRecovery) RemoveRecovery();
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
    TApplication::ShowError(error);
    return false;
  }
  const TSoundSet before = FPanel.CurrentState();
  const TFileSide side = CurrentSide();
  FPanel.ShowState(set);
  FUndoStack->push(new TOpenCommand(
      tr("Open sound set"), TStateChange::Between(before, FPanel.CurrentState()), *this, side));
  SetPath(path);
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
    TApplication::ShowError(error);
    return false;
  }
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
    chosen = dialog.selectedFiles().constFirst();
    if (QFileInfo(chosen).suffix().isEmpty()) chosen += '.' + QString::fromLatin1(kDefaultSuffix);
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
      return true;
    default:
      return false;
  }
}

bool TSoundSetDocument::IsModified() const { return !FUndoStack->isClean(); }

QStringList TSoundSetDocument::RecentFiles() { return Settings().value(kRecentKey).toStringList(); }

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
  return FRecoveryWritten ? RecoveryFileOf(QCoreApplication::applicationPid()) : QString();
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
  QDir().mkpath(StateFolder());
  const QString path = RecoveryFileOf(QCoreApplication::applicationPid());
  QString error;
  if (!WriteSoundSetFile(path, FPanel.CurrentState(), error)) {
    // The work itself is still on the panel; the recovery copy is only a safety net.
    qWarning("%s", qUtf8Printable(error));
    return;
  }
  QFile of(path + QLatin1String(kRecoveryOfSuffix));
  if (FPath.isEmpty()) {
    of.remove();
  } else if (of.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    of.write(FPath.toUtf8());
  }
  FRecoveryWritten = true;
}

void TSoundSetDocument::RemoveRecovery() {
  if (!FRecoveryWritten) return;
  RemoveRecoveryFile(RecoveryFileOf(QCoreApplication::applicationPid()));
  FRecoveryWritten = false;
}

void TSoundSetDocument::KeepRecovery() {
  FRecoverySince.reset();
  FRecoveryTimer.stop();
  WriteRecovery();
  FKeepRecovery = true;
}

void TSoundSetDocument::OfferRecovery() {
  const QDir folder(StateFolder());
  const QFileInfoList files =
      folder.entryInfoList({QLatin1String(kRecoveryPrefix) + '*' + QLatin1String(kRecoverySuffix)},
                           QDir::Files | QDir::Hidden, QDir::Time);
  for (const QFileInfo& file : files) {
    const qint64 owner = RecoveryOwner(file.fileName());
    if (owner == 0 || owner == QCoreApplication::applicationPid() || Running(owner)) continue;
    TSoundSet set;
    QString error;
    QString of;
    QFile ofFile(file.filePath() + QLatin1String(kRecoveryOfSuffix));
    if (ofFile.open(QIODevice::ReadOnly)) of = QString::fromUtf8(ofFile.readAll());
    const QString what =
        of.isEmpty() ? tr("an unnamed sound set") : tr("the sound set \"%1\"").arg(of);
    const QString text = tr("Unsaved work on %1 was kept from %2, when the panel last ended "
                            "without saving it. Restore it?")
                             .arg(what, file.lastModified().toString(Qt::TextDate));
    if (Ask(text, QMessageBox::Yes | QMessageBox::Discard) == QMessageBox::Yes) {
      if (!ReadSoundSetFile(file.filePath(), set, error)) {
        // Kept for a look by hand under another name, so that it is not offered at every start.
        QFile::rename(file.filePath(), file.filePath() + QStringLiteral(".unreadable"));
        TApplication::ShowError(error);
        return;
      }
      const TSoundSet before = FPanel.CurrentState();
      FPanel.ShowState(set);
      FPath = of.isEmpty() ? QString() : QFileInfo(of).absoluteFilePath();
      PushStep(tr("Restore unsaved work"), before);
      UpdateCaption();
      WriteRecovery();  // now this process's, before the old copy goes
    }
    RemoveRecoveryFile(file.filePath());
    return;  // one at a time: the newest
  }
}
