// The main window's sound design: the selected sound copied to and pasted from the clipboard,
// moved at random around where it is, and kept in a file of its own. Reached by shortcuts and the
// background's context menu; no control of the layout is added or moved.
#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>

#include <algorithm>
#include <iterator>

#include "ErrorBoundary.h"
#include "MainForm.h"
#include "UserSettings.h"

namespace {

constexpr const char* kMutationAmountKey = "MutationAmount";
constexpr const char* kSoundFileFilter = "Sounds (*.hvsound *.json);;All files (*)";
constexpr const char* kSoundSuffix = "hvsound";

bool KnownMutationAmount(int amount) {
  return std::find(std::begin(kMutationAmounts), std::end(kMutationAmounts), amount) !=
         std::end(kMutationAmounts);
}

}  // namespace

void TMainForm::SetUpSoundDesign() {
  FMutator = TSoundMutator(std::random_device{}());
  const int amount = UserSettings().value(QString::fromLatin1(kMutationAmountKey)).toInt();
  if (KnownMutationAmount(amount)) FMutationAmount = amount;

  const auto add = [this](const char* name, const QString& text, QList<QKeySequence> keys,
                          std::function<void()> command) {
    return AddCommand(name, text, std::move(keys), std::move(command));
  };
  add("CopySoundAction", tr("Copy sound"), {QKeySequence(Qt::CTRL | Qt::Key_C)},
      [this] { CopySound(); });
  add("PasteSoundAction", tr("Paste sound"), {QKeySequence(Qt::CTRL | Qt::Key_V)},
      [this] { PasteSound(); });
  add("MutateAction", tr("Mutate"), {QKeySequence(Qt::CTRL | Qt::Key_M)},
      [this] { MutateSound(); });
  add("RandomizeAction", tr("Randomize"), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_M)},
      [this] { RandomizeSound(); });
  add("OpenSoundAction", tr("Open sound..."), {}, [this] {
    const QString path = QFileDialog::getOpenFileName(this, tr("Open sound"), SoundFolder(),
                                                      QString::fromLatin1(kSoundFileFilter));
    if (!path.isEmpty()) OpenSound(path);
  });
  add("SaveSoundAction", tr("Save sound..."), {}, [this] { SaveSoundWithDialog(); });
}

void TMainForm::SetMutationSeed(std::uint64_t seed) { FMutator = TSoundMutator(seed); }

void TMainForm::SetMutationAmount(int amount, bool remember) {
  if (!KnownMutationAmount(amount)) return;
  FMutationAmount = amount;
  if (remember) UserSettings().setValue(QString::fromLatin1(kMutationAmountKey), amount);
}

void TMainForm::AddSoundDesignMenu(QMenu* menu) {
  for (const char* name :
       {"CopySoundAction", "PasteSoundAction", "MutateAction", "RandomizeAction"}) {
    menu->addAction(findChild<QAction*>(QString::fromLatin1(name)));
  }
  QMenu* amounts = menu->addMenu(tr("Mutation amount"));
  auto* group = new QActionGroup(amounts);
  for (const int amount : kMutationAmounts) {
    QAction* item = amounts->addAction(QStringLiteral("\u00b1%1").arg(amount), this,
                                       [this, amount] { SetMutationAmount(amount, true); });
    item->setCheckable(true);
    item->setChecked(amount == FMutationAmount);
    group->addAction(item);
  }
  menu->addAction(findChild<QAction*>(QStringLiteral("OpenSoundAction")));
  menu->addAction(findChild<QAction*>(QStringLiteral("SaveSoundAction")));
}

// ---- The clipboard ----

void TMainForm::CopySound() {
  QGuiApplication::clipboard()->setText(QString::fromUtf8(SerializeSound(FMemory.Current())));
}

bool TMainForm::PasteSound() {
  const QString text = QGuiApplication::clipboard()->text();
  TSoundRecord sound;
  QString error;
  if (text.trimmed().isEmpty()) {
    error = tr("the clipboard holds no text");
  } else if (text.size() > kSoundSetMaxBytes) {
    error = tr("the clipboard's text is larger than %1 bytes").arg(kSoundSetMaxBytes);
  } else if (ParseSound(text.toUtf8(), sound, error, true)) {
    return PutSound(sound, tr("Paste sound"));
  }
  TErrorBoundary::ShowError(tr("Cannot paste the sound: %1.").arg(error));
  return false;
}

// ---- Files of one sound ----

bool TMainForm::OpenSound(const QString& path) {
  TSoundRecord sound;
  QString error;
  if (!ReadSoundFile(path, sound, error)) {
    TErrorBoundary::ShowError(error);
    return false;
  }
  FSoundFolder = QFileInfo(path).absolutePath();
  return PutSound(sound, tr("Open sound"));
}

bool TMainForm::SaveSound(const QString& path) {
  QString error;
  if (!WriteSoundFile(path, FMemory.Current(), error)) {
    TErrorBoundary::ShowError(error);
    return false;
  }
  FSoundFolder = QFileInfo(path).absolutePath();
  return true;
}

QString TMainForm::SoundFolder() const {
  if (!FSoundFolder.isEmpty()) return FSoundFolder;
  return FDocument->Path().isEmpty() ? QString() : QFileInfo(FDocument->Path()).absolutePath();
}

void TMainForm::SaveSoundWithDialog() {
  QString chosen = SoundFolder();
  if (!chosen.isEmpty()) chosen += QLatin1Char('/');
  chosen += QString::fromLatin1(kSoundNames[FMemory.SelectedSound()]) + QLatin1Char('.') +
            QString::fromLatin1(kSoundSuffix);
  for (;;) {
    QFileDialog dialog(this, tr("Save sound"), QString(), QString::fromLatin1(kSoundFileFilter));
    dialog.setObjectName(QStringLiteral("SaveSoundDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // As for sets: the suffix is added before the question about replacing a file is asked.
    dialog.setDefaultSuffix(QString::fromLatin1(kSoundSuffix));
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.selectFile(chosen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    chosen = dialog.selectedFiles().constFirst();
    if (QFileInfo(chosen).suffix().isEmpty()) chosen += '.' + QString::fromLatin1(kSoundSuffix);
    if (!QFileInfo::exists(chosen) ||
        QMessageBox::question(
            this, windowTitle(),
            tr("\"%1\" already exists. Replace it?").arg(QFileInfo(chosen).fileName()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
      SaveSound(chosen);
      return;
    }
  }
}

// ---- Putting a sound on the panel ----

bool TMainForm::PutSound(const TSoundRecord& sound, const QString& text) {
  // As for undo: a knob held by the mouse is the user's.
  if (DragInProgress()) return false;
  // The mix knob takes the sound's position: a sweep ends where it is first, a step of its own.
  EndSweep();
  const TSoundSet before = CurrentState();
  TSoundSet after = before;
  after.Records[after.SelectedSound] = sound;
  ShowState(after);
  SendSound();
  FDocument->PushStep(text, before);
  return true;
}

void TMainForm::MoveValues(const std::function<TParameterValues()>& move, const QString& text) {
  // Nothing is drawn from the generator while a knob is held: a seeded run stays repeatable.
  if (DragInProgress()) return;
  const TSoundSet before = CurrentState();
  TSoundSet after = before;
  after.Records[after.SelectedSound].Values = move();
  // Shown, and only the values that changed sent.
  RestoreState(after);
  // Within a sweep the change is part of the sweep's step.
  if (!FSweep.Active) FDocument->PushStep(text, before);
}

void TMainForm::MutateSound() {
  MoveValues([this] { return FMutator.Mutate(FMemory.Current(), FMutationAmount); }, tr("Mutate"));
}

void TMainForm::RandomizeSound() {
  MoveValues([this] { return FMutator.Randomize(FMemory.Current()); }, tr("Randomize"));
}
