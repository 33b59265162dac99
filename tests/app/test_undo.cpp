// Undo steps, sending and sound-set files on the real window, offscreen over the recording MIDI
// backend: the bytes that Send sound, Send all, undo and redo put on the wire, the state they
// leave, the caption, the question on closing and the recent files. Settings go to a private
// folder, never the user's.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUndoStack>

#include "Application.h"
#include "EndedProcess.h"
#include "ErrorBoundary.h"
#include "Eventually.h"
#include "MainForm.h"
#include "PanelDriver.h"
#include "PanelUndo.h"
#include "RecordingMidiBackend.h"
#include "RecoveryCopy.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using halvorine_test::Eventually;

// Before any QSettings is made: the recent-files list lives in a folder of this process's own.
const QTemporaryDir& PrivateHome() {
  static QTemporaryDir home;
  return home;
}
const bool kPrivateSettings = [] {
  qputenv("HOME", PrivateHome().path().toLocal8Bit());
  qputenv("XDG_CONFIG_HOME", (PrivateHome().path() + "/config").toLocal8Bit());
  return true;
}();

// ---- The step arithmetic, on a state without a window ----

class TFakePanel : public TPanelStateTarget {
public:
  TSoundSet State;
  std::vector<TParameterSend> Sent;
  TSoundSet CurrentState() const override { return State; }
  void RestoreState(const TSoundSet& state) override {
    const std::vector<TParameterSend> sends = ChangedParameters(State, state);
    Sent.insert(Sent.end(), sends.begin(), sends.end());
    State = state;
  }
};

// Turns of one knob fold into one step, turns of another or none make their own, and a knob
// turned away and back again leaves no step. What each kind of step sends, and restoring a whole
// set, are tried on the window below.
TEST(UndoSteps, TurnsOfOneKnobMergeAndATurnAwayAndBackLeavesNoStep) {
  TFakePanel panel;
  QUndoStack stack;
  // Sets parameter 6 of the fourth sound, then pushes the change as done.
  const auto turn = [&](int value, const void* key) {
    const TSoundSet before = panel.State;
    panel.State.Records[3].Values[5] = value;
    stack.push(
        new TPanelStateCommand("step", TStateChange::Between(before, panel.State), panel, key));
  };
  int knobA = 0;
  int knobB = 0;
  turn(40, nullptr);
  turn(41, &knobA);
  turn(42, &knobA);  // folds into the one before
  turn(43, &knobB);  // another knob: a new step
  turn(44, nullptr);
  EXPECT_EQ(stack.count(), 4);
  for (int i = 0; i < 3; ++i) stack.undo();
  EXPECT_EQ(panel.Sent, (std::vector<TParameterSend>{{3, 5, 43}, {3, 5, 42}, {3, 5, 40}}));
  turn(50, &knobB);
  turn(40, &knobB);
  EXPECT_EQ(stack.count(), 1);
}

// ---- The real window ----

class Sets : public testing::Test {
public:
  void SetUp() override {
    ASSERT_TRUE(kPrivateSettings && Folder.isValid());
    TErrorBoundary::SetErrorSink([this](const QString& text) { Errors << text; });
    Form = std::make_unique<TMainForm>();
    Form->show();
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    Click(Find<QPushButton>("OpenButton"));
    ASSERT_TRUE(Form->MidiOut().IsOpen());
    Midi->ClearMessages();
    Asked = 0;
  }
  void TearDown() override {
    Form.reset();
    TErrorBoundary::SetErrorSink(nullptr);
  }

  template <typename T>
  T* Find(const QString& name) const {
    return Driver().Find<T>(name);
  }
  // Parameter knobs and boxes are numbered from 1 here, as in their names.
  TSkinKnob* ParKnob(int n) const { return Driver().Knob(n - 1); }
  QCheckBox* ParBox(int n) const { return Driver().ParBox(n - 1); }
  TSkinCheckBox* SoundBox(int s) const { return Driver().SoundBox(s); }
  void Click(QWidget* control) { Driver().Click(control); }
  // A drag of dy pixels in two moves: the window's knobs sweep their range over 128 pixels.
  void Drag(QWidget* knob, int dy) { Driver().Drag(knob, {QPoint(0, dy / 2), QPoint(0, dy)}); }
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers) {
    QTest::keyClick(Form.get(), key, modifiers);
  }
  Bytes Take() {
    const Bytes sent = Midi->Bytes();
    Midi->ClearMessages();
    return sent;
  }
  TSoundSet State() const {
    return SoundSetOf(Form->Memory(), Form->MidiOut().GetChannel(), QString());
  }
  QString Path(const char* name) const { return Folder.filePath(QString::fromLatin1(name)); }

  // A set on disk: sound s has every value 10 + s, BD is ticked at parameter 1, CB is selected.
  QString WriteSet(const char* name) {
    TSoundSet set;
    for (int s = 0; s < 16; ++s) set.Records[s].Values.fill(10 + s);
    set.Records[0].MorphEnabled[0] = 1;
    set.SelectedSound = 7;
    QString error;
    EXPECT_TRUE(WriteSoundSetFile(Path(name), set, error)) << error.toStdString();
    return Path(name);
  }

  TPanelDriver Driver() const { return TPanelDriver(*Form); }

  // Every question about unsaved work is counted and kept in Asked and Question, and answered
  // from Answers while any are left, else with Answer.
  void Ask(QMessageBox::StandardButton answer) {
    Answer = answer;
    Form->Document().SetQuestion([this](const QString& text, QMessageBox::StandardButtons) {
      ++Asked;
      Question = text;
      return Answers.isEmpty() ? Answer : Answers.takeFirst();
    });
  }
  static QString WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    return path;
  }
  static TSoundSet Read(const QString& path) {
    TSoundSet set;
    QString error;
    EXPECT_TRUE(ReadSoundSetFile(path, set, error)) << error.toStdString();
    return set;
  }
  QString Status() const { return StatusOf(*Form); }
  static QString StatusOf(TMainForm& form) {
    form.UpdateMidiStatus();
    return form.MidiStatusLabel()->text();
  }
  static QVariant Setting(const char* key) {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, "Halvorine", "Halvorine")
        .value(key);
  }
  // The background menu as a right click at `at` brings it up (the window system delivers it to
  // the widget under the pointer, in its coordinates), or null when none shows.
  QMenu* Menu(QPoint at = {540, 400}) {
    QWidget* under = Form->childAt(at) != nullptr ? Form->childAt(at) : Form.get();
    QContextMenuEvent event(QContextMenuEvent::Mouse, under->mapFrom(Form.get(), at),
                            Form->mapToGlobal(at));
    QApplication::sendEvent(under, &event);
    auto* menu = Form->findChild<QMenu*>("SoundSetMenu");
    return menu != nullptr && menu->isVisible() ? menu : nullptr;
  }

  // Every control that shows a state: the selected sound's 31 knobs and 24 boxes, the sound
  // boxes and the base channel; and the state held behind them.
  void ExpectShown(const TSoundSet& state, const char* what) const {
    const TSoundRecord& r = state.Records[state.SelectedSound];
    std::vector<int> knobs(r.Values.begin(), r.Values.end());
    knobs.insert(knobs.end(),
                 {r.PresetA1, r.PresetA2, r.PresetB1, r.PresetB2, r.Mix, r.MixA, r.MixB});
    std::vector<int> shownKnobs;
    for (int k = 0; k < int(knobs.size()); ++k)
      shownKnobs.push_back(Driver().Knob(k)->GetPosition());
    std::vector<bool> ticks(r.MorphEnabled.begin(), r.MorphEnabled.end());
    std::vector<bool> shownTicks;
    for (int i = 1; i <= kParameterCount; ++i) shownTicks.push_back(ParBox(i)->isChecked());
    std::vector<bool> sounds;
    std::vector<bool> shownSounds;
    for (int s = 0; s < kSoundCount; ++s) {
      sounds.push_back(s == state.SelectedSound);
      shownSounds.push_back(SoundBox(s)->GetChecked());
    }
    EXPECT_EQ(shownKnobs, knobs) << what;
    EXPECT_EQ(shownTicks, ticks) << what;
    EXPECT_EQ(shownSounds, sounds) << what;
    EXPECT_EQ(Driver().BaseChannel()->currentIndex() + 1, state.BaseChannel) << what;
    EXPECT_TRUE(State().SameSounds(state)) << what;
  }

  TRecordingMidiService Midi{{"Recording Out"}};
  std::unique_ptr<TMainForm> Form;
  QTemporaryDir Folder;
  QStringList Errors;
  int Asked = 0;
  QString Question;
  QMessageBox::StandardButton Answer = QMessageBox::Yes;
  QList<QMessageBox::StandardButton> Answers;
};

Bytes Messages(std::initializer_list<std::array<int, 3>> messages) {
  Bytes bytes;
  for (const auto& m : messages) bytes.insert(bytes.end(), m.begin(), m.end());
  return bytes;
}

// Control changes on the first channel from controller `first` on, one for each value.
Bytes OnBD(int first, std::initializer_list<int> values) {
  Bytes bytes;
  for (const int v : values)
    bytes.insert(bytes.end(), {0xB0, std::uint8_t(first++), std::uint8_t(v)});
  return bytes;
}

// What restoring `to` over `from` sends: each value that differs, in sound order, on the sound's
// channel from the restored base channel and its block of 24 controllers.
Bytes Changed(const TSoundSet& from, const TSoundSet& to) {
  static constexpr int kFirstController[4] = {16, 40, 72, 96};
  Bytes bytes;
  for (int s = 0; s < kSoundCount; ++s) {
    for (int i = 0; i < kParameterCount; ++i) {
      const int value = to.Records[s].Values[i];
      if (value == from.Records[s].Values[i]) continue;
      const int channel = to.BaseChannel - 1 + s / 4;
      bytes.insert(bytes.end(), {std::uint8_t(0xB0 | channel),
                                 std::uint8_t(kFirstController[s % 4] + i), std::uint8_t(value)});
    }
  }
  return bytes;
}

// The caption as the window system shows it: "[*]" becomes the unsaved mark.
QString Shown(const QWidget& window) {
  QString title = window.windowTitle();
  return title.replace(QStringLiteral("[*]"), window.isWindowModified() ? "*" : "");
}

// Answers the modal file dialogs a test brings up: each is given the next name, or dismissed
// when none is left.
class TDialogAnswers : public QObject {
public:
  explicit TDialogAnswers(QStringList names) : FNames(std::move(names)) {
    connect(&FTimer, &QTimer::timeout, this, [this] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr) return;
      ++Shown;
      if (FNames.isEmpty()) {
        dialog->reject();
        return;
      }
      // As typed into its name field (selectFile leaves a focused field as it is).
      for (auto* view : dialog->findChildren<QAbstractItemView*>()) view->clearSelection();
      dialog->findChild<QLineEdit*>("fileNameEdit")->setText(FNames.takeFirst());
      static_cast<QDialog*>(dialog)->accept();
    });
    FTimer.start(10);
  }
  int Shown = 0;

private:
  QStringList FNames;
  QTimer FTimer;
};

TEST_F(Sets, SendSoundAndSendAllGoOutInOrderOnTheSoundsChannels) {
  ASSERT_TRUE(Form->OpenSoundSet(WriteSet("send.hvset")));
  EXPECT_EQ(Take(), Bytes{});  // opening sends nothing
  Key(Qt::Key_Return, Qt::ControlModifier);
  Bytes sound = Take();
  ASSERT_EQ(sound.size(), 72u);
  // CB: the second channel, controllers 96..119, each value 17.
  EXPECT_EQ(Bytes(sound.begin(), sound.begin() + 6), Messages({{0xB1, 96, 17}, {0xB1, 97, 17}}));
  EXPECT_EQ(Bytes(sound.end() - 3, sound.end()), Messages({{0xB1, 119, 17}}));

  Key(Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier);
  const Bytes all = Take();
  ASSERT_EQ(all.size(), 16u * 72u);
  const auto at = [&all](int sound, int index) {
    const std::size_t k = static_cast<std::size_t>(3 * (24 * sound + index));
    return Bytes(all.begin() + k, all.begin() + k + 3);
  };
  EXPECT_EQ(at(0, 0), Messages({{0xB0, 16, 10}}));
  EXPECT_EQ(at(2, 0), Messages({{0xB0, 72, 12}}));
  EXPECT_EQ(at(7, 23), Messages({{0xB1, 119, 17}}));
  EXPECT_EQ(at(15, 12), Messages({{0xB3, 108, 25}}));
}

// Copy and paste: BD to SD to LT, each sent whole on its own controllers and channel, one step
// whose undo sends the values before; a sound file goes in as a paste does. Text or a file that
// is not a sound: one message naming what is wrong, nothing changed or sent, no step.
TEST_F(Sets, PasteAndOpenSoundCarryASoundAcrossChannelsAndRefuseWhatIsNoSound) {
  TSoundRecord kick;
  for (int i = 0; i < kParameterCount; ++i) kick.Values[i] = 100 + i;
  kick.MorphEnabled[3] = kick.UseStoredB = 1;
  kick.StoredB.fill(7);
  kick.Mix = 40;
  kick.MixB = -12;
  const auto sent = [&kick](int channel, int first) {
    Bytes bytes;
    for (int i = 0; i < kParameterCount; ++i)
      bytes.insert(bytes.end(), {std::uint8_t(0xB0 + channel), std::uint8_t(first + i),
                                 std::uint8_t(kick.Values[i])});
    return bytes;
  };
  QGuiApplication::clipboard()->setText(SerializeSound(kick));
  for (const auto& [sound, bytes] : {std::pair(0, sent(0, 16)), {1, sent(0, 40)}}) {
    Click(SoundBox(sound));  // BD from the text, then SD from BD's copy
    Take();
    Key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Take(), bytes);
    Click(SoundBox(0));
    Key(Qt::Key_C, Qt::ControlModifier);
  }
  Click(SoundBox(4));
  // Selecting BD again took its bank B's snapshot choice, as selecting does: LT takes the text.
  QGuiApplication::clipboard()->setText(SerializeSound(kick));
  const TSoundSet before = State();
  Take();
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Take(), sent(1, 16));
  TSoundSet after = before;
  after.Records[4] = kick;
  ExpectShown(after, "pasted on LT");
  EXPECT_EQ(Form->UndoStack().undoText(), "Paste sound");
  Key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Take(), Changed(after, before));
  ExpectShown(before, "paste undone");
  Click(SoundBox(0));
  ASSERT_TRUE(Form->SaveSound(Path("kick.hvsound")));
  Click(SoundBox(7));
  Take();
  ASSERT_TRUE(Form->OpenSound(Path("kick.hvsound")));
  EXPECT_EQ(Take(), sent(1, 96));
  EXPECT_EQ(Form->UndoStack().undoText(), "Open sound");

  const TSoundSet kept = State();
  const int steps = Form->UndoStack().count();
  QGuiApplication::clipboard()->setText(SerializeSoundSet(kept));
  Key(Qt::Key_V, Qt::ControlModifier);
  QGuiApplication::clipboard()->clear();
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_FALSE(Form->OpenSound(WriteSet("set.hvset")));
  const QString notASound = "not a sound (format is not \"halvorine-sound\")";
  EXPECT_EQ(Errors, (QStringList{"Cannot paste the sound: " + notASound + ".",
                                 "Cannot paste the sound: the clipboard holds no text.",
                                 "Cannot open the sound \"" + Path("set.hvset") +
                                     "\": " + notASound + "."}));
  EXPECT_TRUE(State().SameSounds(kept));
  EXPECT_EQ(Take(), Bytes{});
  EXPECT_EQ(Form->UndoStack().count(), steps);
}

// The menu holds each command with its keys and chooses the amount, which is remembered. With one
// parameter ticked, Mutate and Randomize move that one as the seeded generator does, each one step
// whose undo sends it back. The input list holds the inputs as they are when it opens, and None.
TEST_F(Sets, TheMenuChoosesAmountAndInputAndMovesGoToTheTickedParameter) {
  EXPECT_EQ(Menu(ParKnob(1)->geometry().center()), nullptr);  // a knob keeps the right button
  QMenu* menu = Menu();
  ASSERT_NE(menu, nullptr);
  QStringList shown;
  for (QAction* a : menu->actions()) {
    shown << a->text() + " " + a->shortcut().toString();
    if (a->text() == "Mutation amount") a->menu()->actions().at(3)->trigger();  // ±32
  }
  EXPECT_TRUE(
      shown.join('|').contains("Copy sound Ctrl+C|Paste sound Ctrl+V|Mutate Ctrl+M|"
                               "Randomize Ctrl+Shift+M|Mutation amount |Open sound... |"
                               "Save sound... "))
      << shown.join('|').toStdString();
  EXPECT_EQ(Setting("MutationAmount"), 32);
  menu->close();
  Form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));

  Form->SetMutationSeed(8);
  TSoundMutator mirror(8);
  Click(ParBox(2));  // bank A's preset: 98
  Take();
  for (const Qt::KeyboardModifiers keys :
       {Qt::KeyboardModifiers(Qt::ControlModifier), Qt::ControlModifier | Qt::ShiftModifier}) {
    const char* text = keys & Qt::ShiftModifier ? "Randomize" : "Mutate";
    const TSoundRecord& r = Form->Memory().Current();
    const int to = keys & Qt::ShiftModifier ? mirror.Randomize(r)[1] : mirror.Mutate(r, 32)[1];
    Key(Qt::Key_M, keys);
    EXPECT_EQ(Take(), OnBD(17, {to})) << text;
    EXPECT_EQ(Form->UndoStack().undoText(), text);
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Take(), OnBD(17, {98})) << text;
  }

  const auto choose = [this](const QStringList& inputs, const QString& text) {
    std::vector<std::string> names;
    for (const QString& name : inputs) names.push_back(name.toStdString());
    Midi->SetInputs(names);
    QMenu* opened = Menu();
    ASSERT_NE(opened, nullptr);
    QStringList texts;  // of the "MIDI input" list; the separator's is empty
    for (QMenu* list : opened->findChildren<QMenu*>()) {
      if (list->title() != "MIDI input") continue;
      for (QAction* a : list->actions()) texts << a->text();
      list->actions().at(texts.indexOf(text))->trigger();
    }
    EXPECT_EQ(texts, inputs + QStringList({"", "None"}));
    delete opened;
  };
  choose({"A In", "B In"}, "B In");
  EXPECT_EQ(Form->MidiIn().Device(), "B In");
  EXPECT_EQ(Setting("MidiInput").toString(), "B In");
  choose({"C In", "B In"}, "None");
  EXPECT_EQ(Form->MidiIn().Device(), "");
  EXPECT_EQ(Setting("MidiInput").toString(), "");
}

struct TStepCase {
  const char* Name;  // also the step's undo text
  std::function<void(Sets&)> Act;
  Bytes Undone;  // what undo sends: the values that the action had changed, restored
  Bytes Redone;  // what redo sends: the values the action left
};

TEST_F(Sets, EachActionIsOneStepThatUndoAndRedoRestoreAndSend) {
  const TStepCase cases[] = {
      {"Drag knob", [](Sets& t) { t.Drag(t.ParKnob(1), -10); }, OnBD(16, {0}), OnBD(16, {9})},
      // Parameter 2 follows bank A's preset (0, 0): 98.
      {"Tick", [](Sets& t) { t.Click(t.ParBox(2)); }, OnBD(17, {0}), OnBD(17, {98})},
      {"Tick group", [](Sets& t) { t.Click(t.Find<QPushButton>("GroupFilterButton1")); },
       OnBD(16, {0, 0, 0, 0, 0, 0, 0, 0}), OnBD(16, {36, 98, 21, 67, 5, 11, 46, 37})},
      {"Store A", [](Sets& t) { t.Click(t.Find<QPushButton>("StoreAButton")); }, {}, {}},
      {"Preset step", [](Sets& t) { t.Click(t.Find<QPushButton>("AUpButton")); }, {}, {}},
      {"Turn knob",
       [](Sets& t) {
         // One change event each, as the wheel or the keys raise them: one step together.
         t.ParKnob(3)->SetPosition(5);
         t.ParKnob(3)->SetPosition(6);
       },
       OnBD(18, {0}), OnBD(18, {6})},
      {"Select sound", [](Sets& t) { t.Click(t.SoundBox(5)); }, {}, {}},
  };
  for (const TStepCase& c : cases) {
    Form.reset();
    SetUp();
    const TSoundSet before = State();
    c.Act(*this);
    const TSoundSet after = State();
    Take();
    EXPECT_FALSE(after.SameSounds(before)) << c.Name;
    EXPECT_EQ(Form->UndoStack().count(), 1) << c.Name;
    EXPECT_EQ(Form->UndoStack().undoText(), c.Name);

    Key(Qt::Key_Z, Qt::ControlModifier);
    ExpectShown(before, c.Name);
    EXPECT_EQ(Take(), c.Undone) << c.Name;

    Key(Qt::Key_Y, Qt::ControlModifier);
    EXPECT_TRUE(State().SameSounds(after)) << c.Name;
    EXPECT_EQ(Take(), c.Redone) << c.Name;
    Key(Qt::Key_Z, Qt::ControlModifier);
    Take();
    Key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(State().SameSounds(after)) << c.Name;
    EXPECT_EQ(Take(), c.Redone) << c.Name;
  }
}

// A bad file: one message naming it, nothing changed, nothing sent, no step. Open, and undo and
// redo over it, put back a state that differs in every field: every control shows it, what
// changed is sent (opening itself sends nothing) and the caption names the file or unsaved work.
TEST_F(Sets, OpeningIsAStepThatRestoresEveryFieldAndBadFilesChangeNothing) {
  ASSERT_TRUE(Form->Document().SaveTo(Path("mine.hvset")));
  Drag(ParKnob(1), -10);
  const TSoundSet start = State();
  Take();
  const QString bad =
      WriteFile(Path("bad.hvset"), "{\"format\": \"halvorine-sound-set\", \"version\": 1");
  EXPECT_FALSE(Form->OpenSoundSet(bad));
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_TRUE(Errors[0].contains(bad) && Errors[0].contains("not JSON")) << Errors[0].toStdString();
  ExpectShown(start, "bad file");
  EXPECT_EQ(Shown(*Form), "Halvorine v0.2 - mine.hvset*");
  EXPECT_EQ(Take(), Bytes{});
  EXPECT_EQ(Form->UndoStack().count(), 1);
  TSoundSet set = start;
  for (int s = 0; s < kSoundCount; ++s) {
    const TSoundRecord& was = start.Records[s];
    TSoundRecord& r = set.Records[s];
    for (int i = 0; i < kParameterCount; ++i) {
      r.Values[i] = (was.Values[i] + 1 + s + i) % 128;
      r.StoredA[i] = (was.StoredA[i] + 2 + s + i) % 128;
      r.StoredB[i] = (was.StoredB[i] + 3 + s + i) % 128;
      r.MorphEnabled[i] = was.MorphEnabled[i] == 0 ? 1 : 0;
    }
    r.UseStoredA = was.UseStoredA == 0 ? 1 : 0;
    r.UseStoredB = was.UseStoredB == 0 ? 1 : 0;
    r.PresetA1 = (was.PresetA1 + 1 + s) % 128;
    r.PresetA2 = (was.PresetA2 + 2 + s) % 128;
    r.PresetB1 = (was.PresetB1 + 3 + s) % 128;
    r.PresetB2 = (was.PresetB2 + 4 + s) % 128;
    r.Mix = (was.Mix + 5 + s) % 101;
    r.MixA = was.MixA > 0 ? was.MixA - 50 - s : was.MixA + 50 + s;
    r.MixB = was.MixB < 0 ? was.MixB + 20 + s : was.MixB - 20 - s;
  }
  set.SelectedSound = (start.SelectedSound + 9) % kSoundCount;
  set.BaseChannel = (start.BaseChannel + 4) % 13 + 1;
  QString error;
  ASSERT_TRUE(WriteSoundSetFile(Path("all.hvset"), set, error)) << error.toStdString();

  // Undoing the Open brings back the values with the file they came from and its modified state,
  // so that Ctrl+S writes them where they belong; redo brings the opened file back, saved.
  struct TRestore {
    const char* Name;
    Qt::Key Key;  // with Ctrl; Qt::Key_X: Ctrl+Shift+Z
    const TSoundSet& Shown;
    Bytes Sent;
    const char* Caption;
  };
  const TRestore steps[] = {
      {"open", Qt::Key_O, set, {}, "all.hvset"},
      {"undo", Qt::Key_Z, start, Changed(set, start), "mine.hvset*"},
      {"redo", Qt::Key_Y, set, Changed(start, set), "all.hvset"},
      {"undo again", Qt::Key_Z, start, Changed(set, start), "mine.hvset*"},
      {"save", Qt::Key_S, start, {}, "mine.hvset"},
      {"redo again", Qt::Key_X, set, Changed(start, set), "all.hvset"},
      {"undo to what was saved", Qt::Key_Z, start, Changed(set, start), "mine.hvset"},
  };
  for (const TRestore& step : steps) {
    const bool shift = step.Key == Qt::Key_X;
    if (step.Key == Qt::Key_O) {
      EXPECT_TRUE(Form->OpenSoundSet(Path("all.hvset")));
    } else {
      Key(shift ? Qt::Key_Z : step.Key, shift ? Qt::ControlModifier | Qt::ShiftModifier
                                              : Qt::KeyboardModifiers(Qt::ControlModifier));
    }
    ExpectShown(step.Shown, step.Name);
    EXPECT_EQ(Take(), step.Sent) << step.Name;
    EXPECT_EQ(Shown(*Form), QString("Halvorine v0.2 - ") + step.Caption) << step.Name;
  }
  EXPECT_TRUE(Read(Path("mine.hvset")).SameSounds(start));
  EXPECT_TRUE(Read(Path("all.hvset")).SameSounds(set));  // untouched
  EXPECT_EQ(Errors.size(), 1);
}

// Every path that drops the current set, from every kind of set and with every answer: the
// question comes exactly when there is unsaved work, Cancel keeps everything as it was, Save
// keeps the work in its file (or the one chosen for it) first.
TEST_F(Sets, EveryPathThatDropsWorkAsksFirst) {
  const QString other = WriteSet("other.hvset");
  struct TPath {
    const char* Name;
    std::function<bool(Sets&)> Drop;  // whether the set was dropped
  };
  const TPath paths[] = {
      {"close", [](Sets& t) { return t.Form->close(); }},
      {"open",
       [other](Sets& t) {
         t.Form->Document().OpenWithDialog();
         return t.Form->Document().Path() == other;
       }},
      {"open recent", [other](Sets& t) { return t.Form->Document().OpenAsked(other); }},
  };
  // Save that fails: a read-only file, or a Save As dialog dismissed.
  constexpr QMessageBox::StandardButton kFailedSave = QMessageBox::SaveAll;
  const QMessageBox::StandardButton answers[] = {QMessageBox::Cancel, QMessageBox::Discard,
                                                 QMessageBox::Save, kFailedSave};
  for (const TPath& path : paths) {
    for (const bool named : {false, true}) {
      for (const bool modified : {false, true}) {
        for (const QMessageBox::StandardButton answer : answers) {
          const std::string what = std::string(path.Name) + (named ? " named" : " unnamed") +
                                   (modified ? " modified " : " saved ") +
                                   std::to_string(int(answer));
          Form.reset();
          SetUp();
          const bool fails = answer == kFailedSave;
          Ask(fails ? QMessageBox::Save : answer);
          QFile(Path("mine.hvset")).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
          QFile::remove(Path("chosen.hvset"));
          if (named) {
            ASSERT_TRUE(Form->Document().SaveTo(Path("mine.hvset")));
            if (fails) QFile(Path("mine.hvset")).setPermissions(QFile::ReadOwner);
          }
          if (modified) Drag(ParKnob(1), -10);
          const TSoundSet before = State();
          const QString caption = Shown(*Form);
          // Saving an unnamed set asks for its file first; Open asks for the file to open.
          QStringList files;
          if (modified && !named && answer == QMessageBox::Save) files << Path("chosen");
          if (std::string(path.Name) == "open") files << other;
          if (fails) files.clear();
          TDialogAnswers dialogs(files);
          const bool dropped = path.Drop(*this);
          EXPECT_EQ(Asked, modified ? 1 : 0) << what;
          EXPECT_EQ(dropped, !modified || (answer != QMessageBox::Cancel && !fails)) << what;
          EXPECT_EQ(Errors.size(), fails && named ? 1 : 0) << what;
          Errors.clear();
          if (!dropped) {
            EXPECT_TRUE(State().SameSounds(before) && Form->Document().IsModified()) << what;
            EXPECT_EQ(Shown(*Form), caption) << what;
          }
          if (modified && answer == QMessageBox::Save) {
            EXPECT_TRUE(Read(Path(named ? "mine.hvset" : "chosen.hvset")).SameSounds(before))
                << what;
          }
          if (!modified) break;  // the answer is not asked for
        }
      }
    }
  }
}

TEST_F(Sets, CaptionSaveAsAndRecentFiles) {
  Ask(QMessageBox::No);

  // A typed name without its suffix over an existing set: the question names the real file, and
  // No goes back to the dialog (dismissed here) without writing.
  const QString kit = WriteSet("kit.hvset");
  QFile(kit).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
  Drag(ParKnob(1), -10);
  {
    TDialogAnswers dialogs({Path("kit")});
    EXPECT_FALSE(Form->Document().SaveAsWithDialog());
    EXPECT_EQ(dialogs.Shown, 2);
  }
  EXPECT_EQ(Asked, 1);
  EXPECT_TRUE(Question.contains("\"kit.hvset\" already exists")) << Question.toStdString();
  EXPECT_EQ(Read(kit).SelectedSound, 7);
  Answer = QMessageBox::Yes;
  {
    TDialogAnswers dialogs({Path("kit")});
    EXPECT_TRUE(Form->Document().SaveAsWithDialog());
  }
  EXPECT_EQ(Shown(*Form), "Halvorine v0.2 - kit.hvset");
  EXPECT_TRUE(Read(kit).SameSounds(State()));
  // Its permissions stay; a read-only set is refused, for root too.
  const QFileDevice::Permissions notUser(0x7077);
  EXPECT_EQ(QFile(kit).permissions() & notUser,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
  QFile(kit).setPermissions(QFile::ReadOwner | QFile::ReadUser);
  Drag(ParKnob(2), -20);
  EXPECT_FALSE(Form->Document().Save());
  ASSERT_EQ(Errors.size(), 1);
  EXPECT_TRUE(Errors.takeFirst().contains("read-only"));
  EXPECT_EQ(Shown(*Form), "Halvorine v0.2 - kit.hvset*");

  // A typed name keeps a suffix of sound sets and gets ".hvset" otherwise, dots or not.
  const std::pair<const char*, const char*> names[] = {{"Techno 1.2", "Techno 1.2.hvset"},
                                                       {"live.json", "live.json"},
                                                       {"Live.HVSET", "Live.HVSET"},
                                                       {"v2.hvset.bak", "v2.hvset.bak.hvset"}};
  for (const auto& [typed, written] : names) {
    TDialogAnswers dialogs({Path(typed)});
    EXPECT_TRUE(Form->Document().SaveAsWithDialog()) << typed;
    EXPECT_EQ(Form->Document().Path(), Path(written)) << typed;
    EXPECT_TRUE(QFileInfo::exists(Path(written))) << typed;
  }
  for (int n = 0; n < 9; ++n) {
    ASSERT_TRUE(Form->Document().SaveTo(Folder.filePath(QStringLiteral("set%1.hvset").arg(n))));
  }
  QStringList recent = TSoundSetDocument::RecentFiles();
  ASSERT_EQ(recent.size(), 8);
  EXPECT_EQ(recent.front(), Path("set8.hvset"));
  EXPECT_EQ(recent.back(), Path("set1.hvset"));
  // A recent file that is gone says so once and leaves the list.
  QFile::remove(Path("set5.hvset"));
  EXPECT_FALSE(Form->Document().OpenAsked(Path("set5.hvset")));
  EXPECT_EQ(Errors.size(), 1);
  recent = TSoundSetDocument::RecentFiles();
  EXPECT_EQ(recent.size(), 7);
  EXPECT_FALSE(recent.contains(Path("set5.hvset")));
}

// Unsaved work is kept in a recovery copy; a later start offers back every copy whose lock no
// running program holds, whatever process number its name carries.
TEST_F(Sets, UnsavedWorkIsRecovered) {
  const QString state = TSoundSetDocument::StateFolder();
  Ask(QMessageBox::Yes);
  ASSERT_TRUE(Form->Document().SaveTo(Path("mine.hvset")));
  {
    // Written kRecoveryDelayMs after the first unsaved change, however many follow it.
    TManualTickCount ticks(0xFFFFF000u);  // the delay is counted across the tick count's wrap
    for (const std::uint32_t after : {0u, 1000u, 1999u, 1u}) {
      ticks.Advance(after);
      Drag(ParKnob(3), after == 0 ? -30 : -4);
      Form->Document().CheckRecovery();
      EXPECT_EQ(!Form->Document().RecoveryPath().isEmpty(), after == 1) << after;
    }
  }
  const QString recovery = Form->Document().RecoveryPath();
  EXPECT_TRUE(QFileInfo::exists(recovery + ".lock"));
  Key(Qt::Key_S, Qt::ControlModifier);  // saved: nothing to recover
  EXPECT_FALSE(QFileInfo::exists(recovery));
  Drag(ParKnob(3), 10);
  const TSoundSet unsaved = State();
  Form->Document().KeepRecovery();  // as a termination signal does
  Form.reset();
  ASSERT_TRUE(QFileInfo::exists(recovery));
  EXPECT_FALSE(QFileInfo::exists(recovery + ".lock"));

  // Another copy named after a running process (1) but unlocked, an hour older: offered too.
  // One whose lock a running program holds (this test) is neither offered nor removed.
  const QString named = state + "/recovery-1.hvset";
  const QString held = state + "/recovery-held.hvset";
  for (const QString& copy : {named, held}) {
    QFile::remove(copy);
    ASSERT_TRUE(QFile::copy(recovery, copy));
  }
  QFile old(named);
  ASSERT_TRUE(old.open(QIODevice::ReadWrite) &&
              old.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                              QFileDevice::FileModificationTime));
  old.close();
  QLockFile running(held + ".lock");
  ASSERT_TRUE(running.tryLock(0));
  SetUp();
  Ask(QMessageBox::Yes);
  Answers = {QMessageBox::Yes, QMessageBox::Discard};
  Form->Document().OfferRecovery();
  EXPECT_EQ(Asked, 2);
  EXPECT_TRUE(State().SameSounds(unsaved));
  EXPECT_EQ(Shown(*Form), "Halvorine v0.2 - mine.hvset*");
  EXPECT_TRUE(QFileInfo::exists(recovery));  // until the restored work is saved or discarded
  EXPECT_FALSE(QFileInfo::exists(named));
  EXPECT_TRUE(QFileInfo::exists(held));
  Form->Document().OfferRecovery();  // what this program restored is its own now
  EXPECT_EQ(Asked, 2);
  running.unlock();
  EXPECT_TRUE(QFile::remove(held));
  Answers = {QMessageBox::Discard};
  EXPECT_TRUE(Form->close());
  Form.reset();
  EXPECT_FALSE(QFileInfo::exists(recovery));
  EXPECT_TRUE(TRecoveryCopy::List(state).isEmpty())
      << TRecoveryCopy::List(state).join(' ').toStdString();
}

// A recovery copy that cannot be written is said on the status line, and tried again until it is.
TEST_F(Sets, ACopyThatCannotBeWrittenIsSaidAndTriedAgain) {
  const QByteArray state = qgetenv("XDG_STATE_HOME");
  qputenv("XDG_STATE_HOME", WriteFile(Path("not-a-folder"), {}).toLocal8Bit());
  TManualTickCount ticks(1000);
  Click(ParBox(2));  // a tick: a turned knob would have the line to itself for a while
  for (int tries = 0; tries < 2; ++tries) {
    ticks.Advance(TSoundSetDocument::kRecoveryDelayMs);
    Form->Document().CheckRecovery();
    EXPECT_TRUE(Form->Document().RecoveryPath().isEmpty());
    EXPECT_EQ(Status().count("unsaved work not kept for recovery"), 1) << Status().toStdString();
  }
  qputenv("XDG_STATE_HOME", state);
  ticks.Advance(TSoundSetDocument::kRecoveryDelayMs);
  Form->Document().CheckRecovery();
  EXPECT_TRUE(QFileInfo::exists(Form->Document().RecoveryPath()));
  EXPECT_FALSE(Status().contains("recovery")) << Status().toStdString();
}

// Restoring is a step like Open, and the restored values were never saved: undo shows what was
// there before with no file and still unsaved, and the recovered file goes only once the work is
// saved (redone) or discarded. Every other end keeps it for the next start.
TEST_F(Sets, RestoredWorkStaysRecoverableUntilSavedOrDiscarded) {
  const QString kit = WriteSet("kit.hvset");
  TSoundSet work = Read(kit);
  work.Records[7].Values[0] = 99;
  const TSoundSet startUp = State();
  struct TCase {
    const char* Name;
    std::function<void(Sets&)> Act;
    bool ShowsWork;   // the restored work on the panel at the end, else the start-up state
    QString Caption;  // "" once the window has ended
    bool KitHasWork;  // kit.hvset was overwritten with the work
    bool CopyStays;   // the recovered file is still there
  };
  const auto key = [](Qt::Key k, Qt::KeyboardModifiers m = Qt::ControlModifier) {
    return [k, m](Sets& t) { t.Key(k, m); };
  };
  const auto seq = [](std::vector<std::function<void(Sets&)>> steps) {
    return [steps](Sets& t) {
      TDialogAnswers dismissed({});  // an unnamed set's Save asks for a file: dismissed
      for (const auto& step : steps) step(t);
    };
  };
  const auto quit = [](QMessageBox::StandardButton answer) {
    return [answer](Sets& t) {
      t.Ask(answer);
      if (t.Form->close()) t.Form.reset();
    };
  };
  const QString modified = "Halvorine v0.2 - kit.hvset*";
  const TCase cases[] = {
      {"restore", seq({}), true, modified, false, true},
      {"undo", seq({key(Qt::Key_Z)}), false, "Halvorine v0.2*", false, true},
      {"undo, save", seq({key(Qt::Key_Z), key(Qt::Key_S)}), false, "Halvorine v0.2*", false, true},
      {"undo, redo, save", seq({key(Qt::Key_Z), key(Qt::Key_Y), key(Qt::Key_S)}), true,
       "Halvorine v0.2 - kit.hvset", true, false},
      {"save, undo", seq({key(Qt::Key_S), key(Qt::Key_Z)}), false, "Halvorine v0.2*", true, false},
      {"undo, quit: discard", seq({key(Qt::Key_Z), quit(QMessageBox::Discard)}), false, "", false,
       false},
      {"quit: cancel", seq({quit(QMessageBox::Cancel)}), true, modified, false, true},
      {"quit: save", seq({quit(QMessageBox::Save)}), true, "", true, false},
      {"signal", seq({[](Sets& t) { t.Form->Document().KeepRecovery(); }}), true, modified, false,
       true},
  };
  for (const TCase& c : cases) {
    Form.reset();
    SetUp();
    WriteSet("kit.hvset");
    const QString copy = TSoundSetDocument::StateFolder() + "/recovery-test.hvset";
    QDir().mkpath(TSoundSetDocument::StateFolder());
    QString error;
    ASSERT_TRUE(WriteSoundSetFile(copy, work, error));
    WriteFile(copy + ".of", kit.toUtf8());
    Ask(QMessageBox::Yes);
    Form->Document().OfferRecovery();
    c.Act(*this);
    if (Form) {
      ExpectShown(c.ShowsWork ? work : startUp, c.Name);
      EXPECT_EQ(Shown(*Form).toStdString(), c.Caption.toStdString()) << c.Name;
    }
    EXPECT_EQ(Form == nullptr, c.Caption.isEmpty()) << c.Name;
    EXPECT_EQ(Read(kit).Records[7].Values[0], c.KitHasWork ? 99 : 17) << c.Name;
    EXPECT_EQ(QFileInfo::exists(copy), c.CopyStays) << c.Name;
    Form.reset();
    for (const QString& left : TRecoveryCopy::List(TSoundSetDocument::StateFolder())) {
      QFile::remove(left);
      QFile::remove(left + ".of");
    }
  }
}

// The menu key (as the window system delivers it: to the focused control) opens the menu at the
// focused control; New asks as closing does, then shows the start-up state, unnamed, as a step.
// Shift+F10 and Quit are tried through X in the document's end-to-end script.
TEST_F(Sets, TheKeyboardReachesEveryCommand) {
  TSkinKnob* knob = ParKnob(5);
  knob->setFocus();
  const QPoint centre = knob->mapToGlobal(knob->rect().center());
  QContextMenuEvent event(QContextMenuEvent::Keyboard, knob->rect().center(), centre);
  QApplication::sendEvent(knob, &event);
  QMenu* shown = Form->findChild<QMenu*>("SoundSetMenu");
  ASSERT_TRUE(shown != nullptr && shown->isVisible());
  // At the control: from its centre, or moved up along it where the screen ends below.
  const QRect menu = shown->geometry();
  delete shown;
  Form->activateWindow();  // for the window's shortcuts
  ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
  EXPECT_EQ(menu.left(), centre.x());
  EXPECT_TRUE(menu.top() <= centre.y() && centre.y() <= menu.bottom() + 1) << menu.top();
  Ask(QMessageBox::Cancel);
  const TSoundSet startUp = State();
  ASSERT_TRUE(Form->OpenSoundSet(WriteSet("kit.hvset")));
  Drag(ParKnob(1), -10);
  const TSoundSet work = State();
  Key(Qt::Key_N, Qt::ControlModifier);  // Cancel: nothing changes
  EXPECT_EQ(Asked, 1);
  ExpectShown(work, "New, cancelled");
  Answer = QMessageBox::Discard;
  Take();
  Key(Qt::Key_N, Qt::ControlModifier);
  EXPECT_EQ(Asked, 2);
  ExpectShown(startUp, "New");
  EXPECT_EQ(Take(), Bytes{});
  EXPECT_EQ(Form->windowTitle(), "Halvorine v0.2");  // no unsaved mark to hide
  EXPECT_TRUE(Form->Document().Path().isEmpty());
  Key(Qt::Key_Z, Qt::ControlModifier);  // the dropped work is a step away
  ExpectShown(work, "New undone");
  EXPECT_EQ(Shown(*Form), "Halvorine v0.2 - kit.hvset*");
}

// What the instrument sends: the block's parameters follow as a hand on their knobs would (the
// tick box cleared, the knob moved if its sound is shown), nothing goes back, everything else is
// ignored; a run with no gap over a second is one step, whose undo sends the values from before.
TEST_F(Sets, ReceivedChangesFollowWithoutSendingAndARunIsOneStep) {
  Midi->SetInputs({"Recording In"});
  EXPECT_FALSE(Form->SelectInputByName("Nobody"));
  ASSERT_TRUE(Form->SelectInputByName("Recording In"));
  // Parameters 3 and 4 follow bank A's preset (0, 0): 21 and 67. Following one sends neither.
  Click(ParBox(3));
  Click(ParBox(4));
  const int steps = Form->UndoStack().count();
  // The run's gap is counted from its last change: a long twist is one step.
  TManualTickCount ticks(0xFFFFFC00u);
  Take();
  // An instrument that echoes what it is sent: a value the parameter holds already changes
  // nothing, its box stays ticked and no step is made.
  const auto held = static_cast<std::uint8_t>(Form->Memory().Current().Values[3]);
  ASSERT_TRUE(Midi->Play("Recording In", {0xB0, 19, held}));
  Form->ReceiveInput();
  EXPECT_TRUE(ParBox(4)->isChecked());
  EXPECT_EQ(Form->UndoStack().count(), steps);
  // Plays the messages and lets the window's thread take them, until `sound`'s first value is
  // `value`.
  const auto play = [&](std::initializer_list<std::vector<std::uint8_t>> messages, int sound,
                        int value) {
    for (const auto& m : messages) ASSERT_TRUE(Midi->Play("Recording In", m));
    ASSERT_TRUE(Eventually([&] {
      QCoreApplication::processEvents();
      return Form->Memory().Record(sound).Values[0] == value;
    }));
  };
  play({{0xB0, 18, 7},
        {0xB4, 16, 33},
        {0xB0, 64, 1},
        {0x90, 36, 100},
        {0xB0, 15, 3},
        {0xFA},
        {0xB0, 16, 40}},
       0, 40);
  ticks.Advance(700);
  play({{0xB1, 16, 22}}, 4, 22);
  ticks.Advance(700);
  play({{0xB1, 72, 5}}, 6, 5);
  EXPECT_EQ(ParKnob(3)->GetPosition(), 7);
  EXPECT_FALSE(ParBox(3)->isChecked());
  EXPECT_EQ(Form->Memory().Current().MorphEnabled[2], 0);
  for (int s : {1, 2, 3, 5, 15}) EXPECT_EQ(Form->Memory().Record(s).Values, TParameterValues{});
  EXPECT_EQ(Take(), Bytes{});
  ASSERT_EQ(Form->UndoStack().count(), steps + 1);
  EXPECT_EQ(Form->UndoStack().undoText(), "Received from the instrument");
  EXPECT_EQ(Shown(*Form), "Halvorine v0.2*");

  ticks.Advance(1001);  // a gap of over a second starts a new step
  play({{0xB0, 16, 41}}, 0, 41);
  ASSERT_EQ(Form->UndoStack().count(), steps + 2);
  Form->Undo();
  EXPECT_EQ(Take(), OnBD(16, {40}));
  Form->Undo();
  EXPECT_EQ(Take(), Messages({{0xB0, 16, 0}, {0xB0, 18, 21}, {0xB1, 16, 0}, {0xB1, 72, 0}}));
  EXPECT_TRUE(ParBox(3)->isChecked());
  EXPECT_EQ(ParKnob(3)->GetPosition(), 21);

  // Another base channel follows other channels: channel 2 is now the base.
  Form->findChild<QComboBox*>("BaseChannelComboBox")->setCurrentIndex(1);
  Form->BaseChannelComboBoxChange(nullptr);
  Take();
  play({{0xB1, 16, 55}}, 0, 55);
  EXPECT_EQ(ParKnob(1)->GetPosition(), 55);

  // The status line tells where the input is; an input that leaves is followed again on return.
  EXPECT_TRUE(Status().endsWith("; input from Recording In")) << Status().toStdString();
  Midi->SetInputs({});
  ASSERT_TRUE(Eventually([&] { return Status().endsWith("input Recording In away"); }));
  EXPECT_FALSE(Midi->Play("Recording In", {0xB1, 16, 56}));
  Midi->SetInputs({"Recording In"});
  ASSERT_TRUE(Eventually([&] { return Status().endsWith("input from Recording In"); }));
  play({{0xB1, 16, 57}}, 0, 57);
  // Thru: every whole message goes on to the output unchanged and in order, followed or not; one
  // that the next status byte cuts off goes nowhere, and the status line counts it.
  Take();
  Form->SetThru(true);
  play({{0xF8}, {0x94, 36, 100}, {0xC0}, {0xC0, 5}, {0xB1, 16, 60}}, 0, 60);
  EXPECT_EQ(Take(), (Bytes{0xF8, 0x94, 36, 100, 0xC0, 5, 0xB1, 16, 60}));
  EXPECT_TRUE(Status().endsWith("; input from Recording In, 1 cut off")) << Status().toStdString();
  // While the panel's clock has a tempo, its clock is the only one on the output: another's ticks
  // and transport stay out, and a Start does not start it.
  Form->SetClockTempo(120);
  play({{0xFA}, {0xF8}, {0xFB}, {0xFC}, {0xB1, 16, 61}}, 0, 61);
  EXPECT_EQ(Take(), (Bytes{0xB1, 16, 61}));
  EXPECT_FALSE(Form->MidiOut().ClockPosition().Running);
  Form->SetClockTempo(0);
  Form->SetThru(false);
  Form->MidiIn().Close();
  EXPECT_FALSE(Midi->Play("Recording In", {0xB1, 16, 58}));
  EXPECT_EQ(Status().indexOf("input"), -1);
}

// The output opened last is opened at the next start, or waited for until it is listed; so is a
// remembered input. Nothing remembered: nothing opens.
TEST(Devices, TheLastSetUpComesBackAtStart) {
  ASSERT_TRUE(kPrivateSettings);
  TRecordingMidiService midi({"Synth", "Synth B"});
  QSettings(QSettings::IniFormat, QSettings::UserScope, "Halvorine", "Halvorine").clear();
  midi->SetInputs({});
  {
    TMainForm form;  // nothing remembered: nothing opens
    form.RestoreOutput();
    EXPECT_FALSE(form.MidiOut().IsOpen());
  }
  QSettings settings(QSettings::IniFormat, QSettings::UserScope, "Halvorine", "Halvorine");
  settings.setValue("MidiOutput", "Synth B");
  settings.setValue("MidiInput", "Keys");
  settings.sync();
  {
    TMainForm form;
    form.RestoreOutput();
    EXPECT_TRUE(form.MidiOut().IsOpen());
    EXPECT_EQ(form.MidiOut().State().Device, "Synth B");
  }
  midi->SetDevices({"Synth"});
  TMainForm form;
  form.RestoreOutput();
  form.RestoreInput();
  EXPECT_EQ(Sets::StatusOf(form), "MIDI waiting for Synth B to return; input Keys away");
  midi->SetDevices({"Synth", "Synth B"});
  midi->SetInputs({"Keys"});
  ASSERT_TRUE(Eventually([&] {
    QCoreApplication::processEvents();
    return form.MidiOut().IsOpen() && !form.MidiIn().Device().isEmpty();
  }));
  EXPECT_EQ(Sets::StatusOf(form), "MIDI open on Synth B; input from Keys");
  settings.clear();
}

// Tap tempo times the taps by the tick count, across its wrap: 400 and 600 ms make 120 BPM.
TEST_F(Sets, TapTempoAndASweepThatFollowsTheClockAsOneStepAndEndsWhereTheClockStops) {
  {
    TManualTickCount ticks(0xFFFFFC00u);
    for (const std::uint32_t after : {100u, 400u, 600u}) {
      ticks.Advance(after);
      Key(Qt::Key_T, Qt::ControlModifier);
    }
  }
  EXPECT_EQ(Form->MidiOut().ClockTempo(), 120.0);
  Form->SetClockTempo(0, true);  // not remembered for the next window
  TSkinKnob* mix = Find<TSkinKnob>("MixKnob");
  // Parameter 1 is 10 in bank A and 110 in bank B, ticked, with the mix at A.
  ParKnob(1)->SetPosition(10);
  Click(Find<QPushButton>("StoreAButton"));
  ParKnob(1)->SetPosition(110);
  Click(Find<QPushButton>("StoreBButton"));
  mix->SetPosition(0);
  Click(ParBox(1));
  Form->SetClockTempo(300);
  Form->SetSweepBars(1);
  const QWidget* status = Find<QComboBox>("MidiOutComboBox");
  const auto running = [&] { return Form->MidiOut().ClockPosition().Running; };
  const auto ticks = [&] { return Form->MidiOut().ClockPosition().Ticks; };
  const auto sweepKey = [&] {
    ASSERT_TRUE(Eventually([&] { return Find<QAction>("SweepToBAction")->isEnabled(); }));
    Key(Qt::Key_B, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(Form->Sweeping());
  };
  // The port's wake at the Start enables the sweep commands, not the status line's next look.
  QSignalSpy wakes(&Form->MidiOut(), &TMidiOut::ClockMoved);
  Click(Find<QPushButton>("Button1"));
  ASSERT_TRUE(wakes.wait());
  EXPECT_TRUE(running());
  EXPECT_TRUE(Find<QAction>("SweepToBAction")->isEnabled());
  const TSoundSet before = State();
  const int steps = Form->UndoStack().count();
  Midi->ClearMessages();
  wakes.clear();
  const std::uint64_t start = ticks();
  sweepKey();
  // The sweep moves on the port's wakes, at most one a tick.
  ASSERT_TRUE(Eventually([&] { return mix->GetPosition() == 100; }));
  // A wake for ticks sent just before `start` may still be on its way when counting begins.
  const auto woken = static_cast<std::uint64_t>(wakes.count());
  const std::uint64_t swept = ticks() - start;
  EXPECT_GE(swept, 96u) << "one bar: 96 ticks";
  EXPECT_LE(woken, swept + 1) << "no more wakes than ticks";
  Form->UpdateMidiStatus();
  EXPECT_TRUE(status->toolTip().endsWith(QString::fromUtf8(" · clock 300 BPM")))
      << status->toolTip().toStdString();
  std::vector<int> sent;  // parameter 1 of BD: channel 1, controller 16
  for (const TRecordedMessage& m : Midi->Messages()) {
    if (m.Bytes.size() == 3 && m.Bytes[0] == 0xB0 && m.Bytes[1] == 16) sent.push_back(m.Bytes[2]);
  }
  EXPECT_GT(sent.size(), 3u);
  EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end()));
  EXPECT_EQ(sent.empty() ? -1 : sent.back(), 110);
  EXPECT_FALSE(Form->Sweeping());
  EXPECT_EQ(Form->UndoStack().count(), steps + 1);
  Key(Qt::Key_Z, Qt::ControlModifier);
  ExpectShown(before, "the sweep undone");

  // A Start during a sweep counts the ticks from 0 again: the knob goes on from where it is.
  // Whatever stops the clock ends the sweep where it is, as one step.
  Form->SetSweepBars(16);
  const std::pair<const char*, std::function<void()>> stops[] = {
      {"Stop", [&] { Click(Find<QPushButton>("Button2")); }},
      {"Off", [&] { Form->SetClockTempo(0); }},
      {"gone", [&] { Midi->SetDevices({}); }},
  };
  for (const auto& [name, stop] : stops) {
    Form->SetClockTempo(300);
    Midi->SetDevices({"Recording Out"});
    ASSERT_TRUE(Eventually([&] { return Form->MidiOut().IsOpen(); })) << name;
    Click(Find<QPushButton>("Button1"));
    ASSERT_TRUE(Eventually(running)) << name;
    sweepKey();
    ASSERT_TRUE(Eventually([&] { return ticks() > 40; }));
    Click(Find<QPushButton>("Button1"));
    ASSERT_TRUE(Eventually([&] { return ticks() < 40; }));
    // Meanwhile the sweep has looked at the clock many times.
    ASSERT_TRUE(Eventually([&] { return ticks() > 50; }));
    EXPECT_TRUE(Form->Sweeping()) << name;
    EXPECT_LT(mix->GetPosition(), 20) << name;
    Midi->ClearMessages();
    stop();
    ASSERT_TRUE(Eventually([&] { return !Form->Sweeping(); })) << name;
    // Stop and Off send Stop, and no tick follows it.
    const std::vector<std::uint8_t> bytes = Midi->Bytes();
    const auto stopByte = std::find(bytes.begin(), bytes.end(), 0xFC);
    EXPECT_EQ(stopByte != bytes.end(), std::string(name) != "gone") << name;
    EXPECT_EQ(std::find(stopByte, bytes.end(), 0xF8), bytes.end()) << name;
    const int stopped = mix->GetPosition();
    // The status line and the sweep commands follow the clock at the window's next look.
    ASSERT_TRUE(Eventually([&] {
      Form->UpdateMidiStatus();
      return !running() && !status->toolTip().contains("clock");
    }));
    EXPECT_EQ(mix->GetPosition(), stopped) << name;
    EXPECT_FALSE(Find<QAction>("SweepToBAction")->isEnabled()) << name;
    EXPECT_EQ(Form->UndoStack().count(), steps + 1) << name;
    Key(Qt::Key_Z, Qt::ControlModifier);
    ExpectShown(before, name);
  }

  // Started while the clock is off, the instrument gets its ticks as soon as a tempo is chosen.
  Midi->SetDevices({"Recording Out"});
  ASSERT_TRUE(Eventually([&] { return Form->MidiOut().State().Link == TMidiLink::mlOpen; }));
  Form->SetClockTempo(0);
  Midi->ClearMessages();
  Click(Find<QPushButton>("Button1"));
  Form->SendParameter(0, 5);  // the marker: whatever the Start set going comes before it
  const std::vector<std::uint8_t> started = Midi->Bytes();
  ASSERT_FALSE(started.empty());
  EXPECT_EQ(started.front(), 0xFA);
  EXPECT_EQ(std::find(started.begin(), started.end(), 0xF8), started.end());
  wakes.clear();
  Form->SetClockTempo(300);
  ASSERT_TRUE(wakes.wait());
  EXPECT_TRUE(running());
  EXPECT_TRUE(Find<QAction>("SweepToBAction")->isEnabled());
  ASSERT_TRUE(Eventually([&] { return ticks() > 0; }));
}

}  // namespace
