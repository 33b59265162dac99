// The main window's bindings to its sound-set document: the commands (open and save, send to the
// instrument, undo and redo) reached by shortcuts, the background's context menu and the command
// line, and the recording of each action as an undo step. No control of the layout is added or
// moved.
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QUndoStack>
#include <algorithm>

#include "ErrorBoundary.h"
#include "MainForm.h"
#include "MidiOutComboBox.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"
#include "ui_MainForm.h"

namespace {

// Undo texts by the handler that made the step.
QString StepText(void (TMainForm::*handler)(QObject*)) {
  using F = TMainForm;
  const std::pair<void (TMainForm::*)(QObject*), const char*> texts[] = {
      {&F::ParKnobChange, "Turn knob"},
      {&F::PresetAKnobChange, "Turn preset knob"},
      {&F::PresetBKnobChange, "Turn preset knob"},
      {&F::MixKnobChange, "Turn mix knob"},
      {&F::ParameterCheckBoxClick, "Tick"},
      {&F::GroupFilterButtonClick, "Tick group"},
      {&F::SoundCheckBoxClick, "Select sound"},
      {&F::ADownButtonClick, "Preset step"},
      {&F::AUpButtonClick, "Preset step"},
      {&F::BDownButtonClick, "Preset step"},
      {&F::BUpButtonClick, "Preset step"},
      {&F::StoreAButtonClick, "Store A"},
      {&F::StoreBButtonClick, "Store B"},
      {&F::RecallAButtonClick, "Recall A"},
      {&F::RecallBButtonClick, "Recall B"},
      {&F::BaseChannelComboBoxChange, "Base channel"}};
  for (const auto& [h, text] : texts) {
    if (h == handler) return QString::fromLatin1(text);
  }
  return QStringLiteral("Change");
}

// Restores a flag or counter when a handler leaves, also by an error.
template <typename T>
class TScopedValue {
public:
  TScopedValue(T& target, T value) : FTarget(target), FOld(target) { FTarget = value; }
  ~TScopedValue() { FTarget = FOld; }
  TScopedValue(const TScopedValue&) = delete;
  TScopedValue& operator=(const TScopedValue&) = delete;

private:
  T& FTarget;
  T FOld;
};

}  // namespace

QAction* TMainForm::AddCommand(const char* name, const QString& text, QList<QKeySequence> keys,
                               std::function<void()> command) {
  auto* action = new QAction(text, this);
  action->setObjectName(QString::fromLatin1(name));
  action->setShortcuts(keys);
  action->setShortcutContext(Qt::WindowShortcut);
  connect(action, &QAction::triggered, this,
          [command = std::move(command)] { TErrorBoundary::Dispatch(command); });
  addAction(action);
  return action;
}

void TMainForm::SetUpSoundSetCommands() {
  FDocument = new TSoundSetDocument(*this, *this);
  connect(FDocument, &TSoundSetDocument::RecoveryErrorChanged, this, &TMainForm::UpdateMidiStatus);
  QUndoStack* stack = &FDocument->UndoStack();

  const auto add = [this](const char* name, const QString& text, QList<QKeySequence> keys,
                          std::function<void()> command) {
    return AddCommand(name, text, std::move(keys), std::move(command));
  };
  // A sweep running when another set is opened ends first, as a step of its own.
  add("NewAction", tr("New"), {QKeySequence(Qt::CTRL | Qt::Key_N)}, [this] {
    EndSweep();
    FDocument->New();
  });
  add("OpenAction", tr("Open..."), {QKeySequence(Qt::CTRL | Qt::Key_O)}, [this] {
    EndSweep();
    FDocument->OpenWithDialog();
  });
  add("SaveAction", tr("Save"), {QKeySequence(Qt::CTRL | Qt::Key_S)},
      [this] { FDocument->Save(); });
  add("SaveAsAction", tr("Save As..."), {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)},
      [this] { FDocument->SaveAsWithDialog(); });
  add("SendSoundAction", tr("Send sound"),
      {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)},
      [this] { SendSound(); });
  add("SendAllAction", tr("Send all sounds"),
      {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return),
       QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Enter)},
      [this] { SendAllSounds(); });
  QAction* undo =
      add("UndoAction", tr("Undo"), {QKeySequence(Qt::CTRL | Qt::Key_Z)}, [this] { Undo(); });
  QAction* redo =
      add("RedoAction", tr("Redo"),
          {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)},
          [this] { Redo(); });
  // Asks about unsaved work as closing the window does.
  add("QuitAction", tr("Quit"), {QKeySequence(Qt::CTRL | Qt::Key_Q)}, [this] { close(); });
  // The menu key of keyboards that have none, as desktops know it.
  add("MenuAction", tr("Menu"), {QKeySequence(Qt::SHIFT | Qt::Key_F10)},
      [this] { ShowSoundSetMenu(FocusPoint()); });
  undo->setEnabled(false);
  redo->setEnabled(false);
  connect(stack, &QUndoStack::canUndoChanged, undo, &QAction::setEnabled);
  connect(stack, &QUndoStack::canRedoChanged, redo, &QAction::setEnabled);

  for (TSkinKnob* knob : findChildren<TSkinKnob*>()) knob->installEventFilter(this);
  for (TSkinCheckBox* box : FSoundBoxes) box->installEventFilter(this);
}

// ---- Recording ----

TSoundSet TMainForm::CurrentState() const {
  return SoundSetOf(FMemory, FMidiOut->GetChannel(), ui->MidiOutComboBox->currentText());
}

void TMainForm::RecordStep(THandler handler, QObject* sender) {
  // The user's own turn of the mix knob ends a sweep where it is, as a step of its own, before the
  // turn is recorded.
  if (FSweep.Active && !FSweepMoving && FHandlerDepth == 0 && !FRestoring &&
      sender == ui->MixKnob) {
    EndSweep();
  }
  if (FHandlerDepth > 0 || FRestoring || DragInProgress() || FSweep.Active) {
    // An inner event of an action already being recorded, a control moved to show a restored
    // state, or a move within a drag or a sweep, each recorded whole at its end.
    TScopedValue depth(FHandlerDepth, FHandlerDepth + 1);
    (this->*handler)(sender);
    return;
  }
  const TSoundSet before = CurrentState();
  {
    TScopedValue depth(FHandlerDepth, 1);
    (this->*handler)(sender);
  }
  // A knob turned without a drag (wheel, keys, an assistive tool) changes by one event at a time;
  // consecutive turns of the same knob are one step.
  const void* mergeKey = qobject_cast<TSkinKnob*>(sender) != nullptr ? sender : nullptr;
  FDocument->PushStep(StepText(handler), before, mergeKey);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  // A drag is one step from press to release, however many change events it raises.
  const QEvent::Type type = event->type();
  // The arrow keys move between the sound boxes; Space or Return then selects.
  if (type == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const auto box = std::find(FSoundBoxes.begin(), FSoundBoxes.end(), watched);
    const int to = box == FSoundBoxes.end() || key->modifiers() != Qt::NoModifier
                       ? -1
                       : SoundBoxNeighbour(int(box - FSoundBoxes.begin()), key->key());
    if (to >= 0) {
      FSoundBoxes[to]->setFocus(Qt::TabFocusReason);
      return true;
    }
  }
  if (qobject_cast<TSkinKnob*>(watched) == nullptr) return QWidget::eventFilter(watched, event);
  if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
    // A hand on the mix knob takes it over from a sweep.
    if (watched == ui->MixKnob) EndSweep();
    if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && !DragInProgress()) {
      FDragBefore = CurrentState();
      FDragKnob = watched;
    }
  } else if (type == QEvent::MouseButtonRelease) {
    if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && FDragKnob == watched) {
      FinishDrag();
    }
  }
  return QWidget::eventFilter(watched, event);
}

bool TMainForm::DragInProgress() {
  // A release the knob never saw (a dialog took the pointer mid-drag) must not leave every later
  // action unrecorded: the button is up, so the drag is over.
  if (FDragKnob != nullptr && !(QGuiApplication::mouseButtons() & Qt::LeftButton)) FinishDrag();
  return FDragKnob != nullptr;
}

void TMainForm::FinishDrag() {
  FDragKnob = nullptr;
  // A drag within a sweep is part of the sweep's step.
  if (FSweep.Active) return;
  TErrorBoundary::Dispatch([&] { FDocument->PushStep(tr("Drag knob"), FDragBefore); });
}

void TMainForm::Undo() {
  EndSweep();
  if (!DragInProgress()) FDocument->UndoStack().undo();
}

void TMainForm::Redo() {
  EndSweep();
  if (!DragInProgress()) FDocument->UndoStack().redo();
}

void TMainForm::ShowState(const TSoundSet& state) {
  TScopedValue restoring(FRestoring, true);
  ApplySoundSet(state, FMemory);
  const TSoundRecord shown = FMemory.Current();
  ui->BaseChannelComboBox->setCurrentIndex(state.BaseChannel - 1);
  FMidiOut->SetChannel(state.BaseChannel);
  for (int k = 0; k < kSoundCount; ++k) FSoundBoxes[k]->SetChecked(k == FMemory.SelectedSound());
  FSuppressMorph = true;
  FSuppressParKnob = true;
  // Only knobs that must move are moved. The preset knobs' handlers clear the banks' snapshot
  // choice as they move; the record is put back whole afterwards, so the state is shown as it
  // was, snapshot choice included.
  const std::pair<TSkinKnob*, std::int32_t> knobs[] = {
      {ui->PresetA1Knob, shown.PresetA1}, {ui->PresetA2Knob, shown.PresetA2},
      {ui->PresetB1Knob, shown.PresetB1}, {ui->PresetB2Knob, shown.PresetB2},
      {ui->MixKnob, shown.Mix},           {ui->MixAKnob, shown.MixA},
      {ui->MixBKnob, shown.MixB}};
  for (const auto& [knob, position] : knobs) {
    if (knob->GetPosition() != position) knob->SetPosition(position);
  }
  for (int i = 0; i < kParameterCount; ++i) {
    FParCheckBoxes[i]->setChecked(shown.MorphEnabled[i] != 0);
    if (FParKnobs[i]->GetPosition() != shown.Values[i]) SetParKnob(i, shown.Values[i]);
  }
  FSuppressParKnob = false;
  FSuppressMorph = false;
  FMemory.Current() = shown;
}

void TMainForm::RestoreState(const TSoundSet& state) {
  const TSoundSet from = CurrentState();
  ShowState(state);
  for (const TParameterSend& send : ChangedParameters(from, state)) {
    SendSoundParameter(send.Sound, send.Index, send.Value);
  }
}

// ---- Sending ----

void TMainForm::SendSound() {
  const TSoundRecord& r = FMemory.Current();
  for (int i = 0; i < kParameterCount; ++i) SendParameter(i, r.Values[i]);
}

void TMainForm::SendAllSounds() {
  for (int s = 0; s < kSoundCount; ++s) {
    const TSoundRecord& r = FMemory.Record(s);
    for (int i = 0; i < kParameterCount; ++i) SendSoundParameter(s, i, r.Values[i]);
  }
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // A running sweep is unsaved work like any other change.
  EndSweep();
  if (FCloseWithoutQuestion || FDocument->MaybeSave()) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TMainForm::EndWithoutQuestion() {
  EndSweep();
  FDocument->KeepRecovery();
  FCloseWithoutQuestion = true;
  close();
  // A dialog may be open (an error, a question): every event loop ends, the dialog's too.
  QCoreApplication::exit(0);
}

QPoint TMainForm::FocusPoint() const {
  const QWidget* focused = focusWidget();
  if (focused == nullptr || !isAncestorOf(focused)) return mapToGlobal(rect().center());
  return focused->mapToGlobal(focused->rect().center());
}

void TMainForm::contextMenuEvent(QContextMenuEvent* event) {
  // From the keyboard (the menu key), the menu opens at the control that has the focus.
  if (event->reason() == QContextMenuEvent::Keyboard) {
    ShowSoundSetMenu(FocusPoint());
    return;
  }
  // Only the background answers the pointer: the window itself, its frames, group boxes and
  // captions.
  const QWidget* under = childAt(event->pos());
  const bool background = under == nullptr || under == FPanel ||
                          qobject_cast<const QLabel*>(under) != nullptr ||
                          qobject_cast<const QGroupBox*>(under) != nullptr ||
                          under->metaObject() == &QFrame::staticMetaObject;
  if (!background) {
    event->ignore();
    return;
  }
  ShowSoundSetMenu(event->globalPos());
}

void TMainForm::ShowSoundSetMenu(const QPoint& at) {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("SoundSetMenu"));
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const auto action = [this](const char* name) { return findChild<QAction*>(name); };
  menu->addAction(action("NewAction"));
  menu->addAction(action("OpenAction"));
  QMenu* recent = menu->addMenu(tr("Open Recent"));
  const QStringList files = TSoundSetDocument::RecentFiles();
  for (const QString& path : files) {
    recent->addAction(path, this, [this, path] {
      TErrorBoundary::Dispatch([&] {
        EndSweep();
        FDocument->OpenAsked(path);
      });
    });
  }
  recent->setEnabled(!files.isEmpty());
  menu->addAction(action("SaveAction"));
  menu->addAction(action("SaveAsAction"));
  menu->addSeparator();
  menu->addAction(action("SendSoundAction"));
  menu->addAction(action("SendAllAction"));
  menu->addSeparator();
  AddSoundDesignMenu(menu);
  menu->addSeparator();
  menu->addAction(action("UndoAction"));
  menu->addAction(action("RedoAction"));
  menu->addSeparator();
  AddInputMenu(menu);
  menu->addSeparator();
  AddClockMenu(menu);
  menu->addSeparator();
  menu->addAction(action("QuitAction"));
  // Not modal: the event loop goes on while the menu is open.
  menu->popup(at);
}
