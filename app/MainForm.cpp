#include "MainForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

#include "ComboBoxAccessible.h"
#include "ErrorBoundary.h"
#include "MidiOutComboBox.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"
#include "SkinResources.h"
#include "Transmission.h"
#include "ui_MainForm.h"

namespace {

constexpr int kPresetTop = 127;  // each preset knob runs 0..127

int TagOf(const QObject* control) { return control->property("Tag").toInt(); }

// The 24 controls of one kind of the parameter grid, by parameter index: name1 .. name24.
template <typename T>
std::array<T*, kParameterCount> ParameterControls(const QWidget* form, const char* pattern) {
  std::array<T*, kParameterCount> controls{};
  for (int i = 0; i < kParameterCount; ++i) {
    controls[i] =
        form->findChild<T*>(QString::fromLatin1(pattern).arg(i + 1), Qt::FindDirectChildrenOnly);
    Q_ASSERT(controls[i] != nullptr);
  }
  return controls;
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::MainForm>()) {
  // Before any control is made: an interface, once made, is kept for the control's life.
  InstallComboBoxAccessibility();
  // The layout first, its handlers after every property, so that loading raises nothing. The
  // controls lie on a panel of the layout's size in a scroll area that fills the window: where a
  // screen is too small for the whole panel, the window shrinks to fit and the panel scrolls.
  FPanel = new QWidget;
  FPanel->setObjectName(QStringLiteral("Panel"));
  ui->setupUi(FPanel);
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(FPanel->windowTitle());
  FPanel->setMinimumSize(FPanel->size());
  FPanelScroller = new QScrollArea(this);
  FPanelScroller->setObjectName(QStringLiteral("PanelScroller"));
  FPanelScroller->setFrameShape(QFrame::NoFrame);
  FPanelScroller->setFocusPolicy(Qt::NoFocus);
  FPanelScroller->setWidgetResizable(true);
  FPanelScroller->setWidget(FPanel);
  // The window itself paints the background behind the panel, as it always did: the device list
  // is read once the window has first painted.
  FPanel->setAutoFillBackground(false);
  FPanelScroller->viewport()->setAutoFillBackground(false);
  auto* fill = new QVBoxLayout(this);
  fill->setContentsMargins(0, 0, 0, 0);
  fill->addWidget(FPanelScroller);
  resize(FPanel->size());
  move(199, 137);
  // The window may grow but never hide a control by shrinking (until KeepOnScreen finds a screen
  // too small for it).
  setMinimumSize(size());
  // The layout is drawn for a sans-serif face in an 11-pixel character cell (a 10-pixel em),
  // whatever the resolution of the screen.
  QFont face = FPanel->font();
  face.setPixelSize(10);
  setFont(face);
  FPanel->setFont(face);
  setAutoFillBackground(true);
  QPalette background = palette();
  background.setColor(QPalette::Window, QColor(212, 208, 200));
  // The focus frame of the skinned controls is drawn in the highlight colour: a blue dark enough
  // for 4.8:1 against the panel (a desktop's usual highlight gives about 2.4:1).
  background.setColor(QPalette::Highlight, QColor(0, 84, 166));
  setPalette(background);

  SoundSelectionSkinSource.LoadBitmap(kSoundSelectionSkinPath);
  KnobSkinSource.LoadBitmap(kKnobSkinPath);
  FSoundBoxes = {ui->BDCheckBox, ui->SDCheckBox, ui->HTCheckBox, ui->MTCheckBox,
                 ui->LTCheckBox, ui->CPCheckBox, ui->RSCheckBox, ui->CBCheckBox,
                 ui->CHCheckBox, ui->OHCheckBox, ui->RCCheckBox, ui->CCCheckBox,
                 ui->M1CheckBox, ui->M2CheckBox, ui->M3CheckBox, ui->M4CheckBox};
  for (TSkinCheckBox* box : FSoundBoxes) box->SetSkinSource(&SoundSelectionSkinSource);
  for (TSkinKnob* knob : findChildren<TSkinKnob*>()) knob->SetSkinSource(&KnobSkinSource);

  FMidiOut = std::make_unique<TMidiOut>();
  FMidiOut->SetChannel(1);

  // The status line fills the free area below the transport buttons; it takes no focus, so the
  // tab order stays the layout's.
  FMidiStatusLabel = new QLabel(FPanel);
  FMidiStatusLabel->setObjectName(QStringLiteral("MidiStatusLabel"));
  FMidiStatusLabel->setGeometry(240, 376, 313, 40);
  FMidiStatusLabel->setWordWrap(true);
  FMidiStatusLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* statusTimer = new QTimer(this);
  connect(statusTimer, &QTimer::timeout, this, &TMainForm::UpdateMidiStatus);
  statusTimer->start(250);
  // A knob the user turned shows its value on the status line for as long as its value hint.
  FKnobStatusTimer = new QTimer(this);
  FKnobStatusTimer->setSingleShot(true);
  FKnobStatusTimer->setInterval(kKnobStatusMilliseconds);
  connect(FKnobStatusTimer, &QTimer::timeout, this, &TMainForm::UpdateMidiStatus);
  connect(qApp, &QApplication::focusChanged, this, &TMainForm::UpdateMidiStatus,
          Qt::QueuedConnection);
  // A control that takes the focus by any way (Tab, an arrow key, a click, a command) is scrolled
  // into view.
  connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    if (now != nullptr && FPanel->isAncestorOf(now))
      FPanelScroller->ensureWidgetVisible(now, 16, 16);
  });

  NameControls();
  JoinTabChain();
  BindHandlers();
  FormCreate();
  SetUpSoundSetCommands();
  SetUpInput();
  SetUpClock();
  SetUpSoundDesign();
  UpdateMidiStatus();
}

TMainForm::~TMainForm() {
  // The document's undo stack signals as it goes; it must go while the window it reports to is
  // whole.
  delete FDocument;
  FDocument = nullptr;
}

void TMainForm::NameControls() {
  static const char* const kParameterNames[kParameterCount] = {
      "Par1",        "Par2",         "Par3",     "Par4",      "Par5",       "Par6",
      "Par7",        "Par8",         "AM Depth", "AM Rate",   "EQ Freq",    "EQ Gain",
      "Filter Freq", "Filter Width", "Filter Q", "SRR",       "Distortion", "Volume",
      "Pan",         "Delay",        "Reverb",   "LFO Speed", "LFO Amnt",   "LFO Shape"};
  const auto parKnobs = ParameterControls<TSkinKnob>(FPanel, "ParKnob%1");
  for (int i = 0; i < kParameterCount; ++i)
    parKnobs[i]->SetCaption(QString::fromLatin1(kParameterNames[i]));
  for (int k = 0; k < kSoundCount; ++k)
    FSoundBoxes[k]->SetCaption(QString::fromLatin1(kSoundNames[k]));
  // The tick boxes are too narrow to show their captions, which are cut short ("Filter F"); tools
  // hear the whole parameter name, told apart from its knob.
  const auto parBoxes = ParameterControls<QCheckBox>(FPanel, "CheckBox%1");
  for (int i = 0; i < kParameterCount; ++i)
    parBoxes[i]->setAccessibleName(QStringLiteral("Tick ") +
                                   QString::fromLatin1(kParameterNames[i]));

  // Controls whose texts and hints are alike in both banks or say nothing without their place.
  const std::pair<QWidget*, const char*> names[] = {
      {ui->StoreAButton, "Bank A store"},          {ui->RecallAButton, "Bank A recall"},
      {ui->ADownButton, "Bank A previous preset"}, {ui->AUpButton, "Bank A next preset"},
      {ui->StoreBButton, "Bank B store"},          {ui->RecallBButton, "Bank B recall"},
      {ui->BDownButton, "Bank B previous preset"}, {ui->BUpButton, "Bank B next preset"},
      {ui->GroupFilterButton1, "Tick column 1"},   {ui->GroupFilterButton2, "Tick column 2"},
      {ui->GroupFilterButton3, "Tick column 3"},   {ui->BaseChannelComboBox, "Base channel"},
      {ui->MidiOutComboBox, "MIDI output device"}};
  for (const auto& [control, name] : names) control->setAccessibleName(QString::fromLatin1(name));

  // The two knobs of a bank's preset pair both show the pair; each has a name of its own.
  const auto pair = [](TSkinKnob* first, TSkinKnob* second, const QString& bank) {
    const TKnobTextEvent text = [first, second](const TSkinKnob*) {
      return QStringLiteral("%1, %2").arg(first->GetPosition()).arg(second->GetPosition());
    };
    for (TSkinKnob* knob : {first, second}) {
      knob->SetCaption(QStringLiteral("Preset ") + bank);
      knob->OnValueText = text;
    }
    first->setAccessibleName(QStringLiteral("Preset %1 first").arg(bank));
    second->setAccessibleName(QStringLiteral("Preset %1 second").arg(bank));
  };
  pair(ui->PresetA1Knob, ui->PresetA2Knob, QStringLiteral("A"));
  pair(ui->PresetB1Knob, ui->PresetB2Knob, QStringLiteral("B"));

  const TKnobTextEvent percent = [](const TSkinKnob* knob) {
    return QStringLiteral("%1 %").arg(knob->GetPosition());
  };
  const std::pair<TSkinKnob*, const char*> mixes[] = {
      {ui->MixKnob, "Mix"}, {ui->MixAKnob, "Mix A"}, {ui->MixBKnob, "Mix B"}};
  for (const auto& [knob, name] : mixes) {
    knob->SetCaption(QString::fromLatin1(name));
    knob->OnValueText = percent;
  }
}

void TMainForm::JoinTabChain() {
  // The layout's own stops keep their order; the skinned controls follow the last of them: the
  // sound row, the parameter knobs column by column, then bank A's preset knobs, the mix knobs
  // and bank B's preset knobs.
  std::vector<TSkinControl*> joining(FSoundBoxes.begin(), FSoundBoxes.end());
  for (TSkinKnob* knob : ParameterControls<TSkinKnob>(FPanel, "ParKnob%1")) joining.push_back(knob);
  for (TSkinKnob* knob : {ui->PresetA1Knob, ui->PresetA2Knob, ui->MixKnob, ui->MixAKnob,
                          ui->MixBKnob, ui->PresetB1Knob, ui->PresetB2Knob}) {
    joining.push_back(knob);
  }
  for (TSkinControl* control : joining) control->setFocusPolicy(Qt::StrongFocus);
  // Each goes right after the last layout stop, the last one first. (Chained forward, Qt would
  // leave a control where it is when the stop before it, counted round past the window itself,
  // is already the one asked for: the first knob would stay ahead of the Open button.)
  for (auto control = joining.rbegin(); control != joining.rend(); ++control)
    QWidget::setTabOrder(ui->Button3, *control);
  // Each parameter knob comes right after its tick box, so that a tick is one stop from its knob.
  const auto boxes = ParameterControls<QCheckBox>(FPanel, "CheckBox%1");
  const auto knobs = ParameterControls<TSkinKnob>(FPanel, "ParKnob%1");
  for (int i = 0; i < kParameterCount; ++i) QWidget::setTabOrder(boxes[i], knobs[i]);
}

int SoundBoxNeighbour(int box, int key) {
  constexpr int kRow = kSoundCount / 2;
  const int row = box / kRow;
  const int column = box % kRow;
  switch (key) {
    case Qt::Key_Left:
      return column > 0 ? box - 1 : box;
    case Qt::Key_Right:
      return column < kRow - 1 ? box + 1 : box;
    case Qt::Key_Up:
      return row > 0 ? box - kRow : box;
    case Qt::Key_Down:
      return row == 0 ? box + kRow : box;
    default:
      return -1;
  }
}

void TMainForm::BindHandlers() {
  // Every handler is entered through TErrorBoundary::Dispatch: an error it raises is reported in a
  // message box right there and the event loop goes on, without unwinding through the toolkit.
  const auto bind = [this](void (TMainForm::*handler)(QObject*)) {
    return [this, handler](QObject* sender) {
      TErrorBoundary::Dispatch([&] { RecordStep(handler, sender); });
    };
  };
  for (TSkinKnob* knob : ParameterControls<TSkinKnob>(FPanel, "ParKnob%1")) {
    knob->OnChange = bind(&TMainForm::ParKnobChange);
  }
  for (TSkinCheckBox* box : FSoundBoxes) box->OnClick = bind(&TMainForm::SoundCheckBoxClick);
  for (TSkinKnob* knob : {ui->PresetA1Knob, ui->PresetA2Knob}) {
    knob->OnChange = bind(&TMainForm::PresetAKnobChange);
  }
  for (TSkinKnob* knob : {ui->PresetB1Knob, ui->PresetB2Knob}) {
    knob->OnChange = bind(&TMainForm::PresetBKnobChange);
  }
  for (TSkinKnob* knob : {ui->MixKnob, ui->MixAKnob, ui->MixBKnob}) {
    knob->OnChange = bind(&TMainForm::MixKnobChange);
  }
  // A framework check box raises its click handler on a change from code as on a user's click.
  for (QCheckBox* box : ParameterControls<QCheckBox>(FPanel, "CheckBox%1")) {
    connect(box, &QCheckBox::toggled, this,
            [box, handler = bind(&TMainForm::ParameterCheckBoxClick)] { handler(box); });
  }
  const std::pair<QPushButton*, void (TMainForm::*)(QObject*)> clicks[] = {
      {ui->OpenButton, &TMainForm::OpenButtonClick},
      {ui->CloseButton, &TMainForm::CloseButtonClick},
      {ui->ADownButton, &TMainForm::ADownButtonClick},
      {ui->AUpButton, &TMainForm::AUpButtonClick},
      {ui->BDownButton, &TMainForm::BDownButtonClick},
      {ui->BUpButton, &TMainForm::BUpButtonClick},
      {ui->StoreAButton, &TMainForm::StoreAButtonClick},
      {ui->RecallAButton, &TMainForm::RecallAButtonClick},
      {ui->StoreBButton, &TMainForm::StoreBButtonClick},
      {ui->RecallBButton, &TMainForm::RecallBButtonClick},
      {ui->Button1, &TMainForm::Button1Click},
      {ui->Button2, &TMainForm::Button2Click},
      {ui->Button3, &TMainForm::Button3Click},
      {ui->GroupFilterButton1, &TMainForm::GroupFilterButtonClick},
      {ui->GroupFilterButton2, &TMainForm::GroupFilterButtonClick},
      {ui->GroupFilterButton3, &TMainForm::GroupFilterButtonClick}};
  for (const auto& [button, handler] : clicks) {
    connect(button, &QPushButton::clicked, this,
            [button = button, call = bind(handler)] { call(button); });
  }
  // The base-channel list answers the user's choice only, not a selection made from code.
  connect(ui->BaseChannelComboBox, &QComboBox::activated, this,
          [list = ui->BaseChannelComboBox, call = bind(&TMainForm::BaseChannelComboBoxChange)] {
            call(list);
          });
  for (TSkinKnob* knob : findChildren<TSkinKnob*>()) {
    knob->OnTurn = [this](QObject* sender) {
      FTurnedKnob = static_cast<TSkinKnob*>(sender);
      FKnobStatusTimer->start();
      UpdateMidiStatus();
    };
  }
}

void TMainForm::FormCreate() {
  DebugDevice.Open();
  FParCheckBoxes = ParameterControls<QCheckBox>(FPanel, "CheckBox%1");
  FParKnobs = ParameterControls<TSkinKnob>(FPanel, "ParKnob%1");
  ui->BaseChannelComboBox->setCurrentIndex(0);
}

bool TMainForm::SelectDeviceByName(const QString& name) {
  return ui->MidiOutComboBox->SelectDeviceName(name);
}

// ---- Transmission ----

void TMainForm::SendParameter(int index, int value) {
  SendSoundParameter(FMemory.SelectedSound(), index, value);
}

void TMainForm::SendSoundParameter(int sound, int index, int value) {
  const TControlAddress to = ParameterAddress(FMidiOut->GetChannel(), sound, index);
  FMidiOut->SendControlChange(to.Channel, to.Controller, static_cast<std::uint8_t>(value % 256));
}

void TMainForm::SetParKnob(int index, int value) { FParKnobs[index]->SetPosition(value); }

void TMainForm::ParKnobChange(QObject* Sender) {
  if (FSuppressParKnob) return;  // the knob was moved by code to show a value
  for (int i = 0; i < kParameterCount; ++i) {
    if (FParKnobs[i] != Sender) continue;
    // Touching a knob takes its parameter out of the morph; if the box was ticked, unticking it
    // runs one morph update for the parameters still ticked before this value goes out.
    FParCheckBoxes[i]->setChecked(false);
    const int position = FParKnobs[i]->GetPosition();
    FMemory.Current().Values[i] = position;
    SendParameter(i, position);
  }
}

void TMainForm::BaseChannelComboBoxChange(QObject*) {
  FMidiOut->SetChannel(ui->BaseChannelComboBox->currentIndex() + 1);
  DebugDevice.WriteLn(FMidiOut->GetChannel());
}

// ---- Morph ----

void TMainForm::UpdateMorph() {
  if (FSuppressMorph) return;
  DebugDevice.Write("*");
  TSoundRecord& r = FMemory.Current();
  r.PresetA1 = ui->PresetA1Knob->GetPosition();
  r.PresetA2 = ui->PresetA2Knob->GetPosition();
  r.PresetB1 = ui->PresetB1Knob->GetPosition();
  r.PresetB2 = ui->PresetB2Knob->GetPosition();
  r.Mix = ui->MixKnob->GetPosition();
  r.MixA = ui->MixAKnob->GetPosition();
  r.MixB = ui->MixBKnob->GetPosition();
  for (int i = 0; i < kParameterCount; ++i) r.MorphEnabled[i] = FParCheckBoxes[i]->isChecked();
  FMemory.Morph();
  for (int i = 0; i < kParameterCount; ++i) {
    if (!r.MorphEnabled[i]) continue;
    // Sent before the knob moves; the move only shows the value.
    SendParameter(i, r.Values[i]);
    FSuppressParKnob = true;
    SetParKnob(i, r.Values[i]);
    FSuppressParKnob = false;
  }
}

void TMainForm::PresetAKnobChange(QObject*) {
  FMemory.Current().UseStoredA = 0;
  UpdateMorph();
}

void TMainForm::PresetBKnobChange(QObject*) {
  FMemory.Current().UseStoredB = 0;
  UpdateMorph();
}

void TMainForm::MixKnobChange(QObject*) { UpdateMorph(); }

void TMainForm::ParameterCheckBoxClick(QObject*) { UpdateMorph(); }

// ---- Preset stepping: the pair is the number 128 p2 + p1, stepped without wrapping ----

void TMainForm::StepPreset(TSkinKnob* first, TSkinKnob* second, int step) {
  int p1 = first->GetPosition();
  int p2 = second->GetPosition();
  if (step < 0) {
    if (p1 > 0) {
      --p1;
    } else if (p2 > 0) {
      --p2;
      p1 = kPresetTop;
    }
  } else {
    if (p1 < kPresetTop) {
      ++p1;
    } else if (p2 < kPresetTop) {
      ++p2;
      p1 = 0;
    }
  }
  // Both knobs are set even when unchanged: their handlers clear the bank's snapshot choice.
  FSuppressMorph = true;
  first->SetPosition(p1);
  second->SetPosition(p2);
  FSuppressMorph = false;
  UpdateMorph();
}

void TMainForm::ADownButtonClick(QObject*) { StepPreset(ui->PresetA1Knob, ui->PresetA2Knob, -1); }
void TMainForm::AUpButtonClick(QObject*) { StepPreset(ui->PresetA1Knob, ui->PresetA2Knob, +1); }
void TMainForm::BDownButtonClick(QObject*) { StepPreset(ui->PresetB1Knob, ui->PresetB2Knob, -1); }
void TMainForm::BUpButtonClick(QObject*) { StepPreset(ui->PresetB1Knob, ui->PresetB2Knob, +1); }

// ---- Store and recall ----

void TMainForm::StoreAButtonClick(QObject*) {
  FMemory.StoreA();
  // The mix now points fully at a snapshot equal to the current values: nothing to send.
  FSuppressMorph = true;
  ui->MixKnob->SetPosition(0);
  ui->MixAKnob->SetPosition(0);
  ui->MixBKnob->SetPosition(0);
  FSuppressMorph = false;
}

void TMainForm::StoreBButtonClick(QObject*) {
  FMemory.StoreB();
  FSuppressMorph = true;
  ui->MixKnob->SetPosition(100);
  ui->MixAKnob->SetPosition(0);
  ui->MixBKnob->SetPosition(0);
  FSuppressMorph = false;
}

void TMainForm::RecallAButtonClick(QObject*) {
  FMemory.Current().UseStoredA = 1;
  UpdateMorph();
}

void TMainForm::RecallBButtonClick(QObject*) {
  FMemory.Current().UseStoredB = 1;
  UpdateMorph();
}

// ---- Sound selector and group filter ----

void TMainForm::SoundCheckBoxClick(QObject* Sender) {
  FMemory.SetSelectedSound(TagOf(Sender));
  for (int k = 0; k < kSoundCount; ++k) FSoundBoxes[k]->SetChecked(k == FMemory.SelectedSound());
  FSuppressMorph = true;
  FSuppressParKnob = true;
  // The preset knobs' handlers clear the banks' snapshot choice as they move; their morph
  // updates return at once.
  const TSoundRecord& shown = FMemory.Current();
  ui->PresetA1Knob->SetPosition(shown.PresetA1);
  ui->PresetA2Knob->SetPosition(shown.PresetA2);
  ui->PresetB1Knob->SetPosition(shown.PresetB1);
  ui->PresetB2Knob->SetPosition(shown.PresetB2);
  ui->MixKnob->SetPosition(shown.Mix);
  ui->MixAKnob->SetPosition(shown.MixA);
  ui->MixBKnob->SetPosition(shown.MixB);
  for (int i = 0; i < kParameterCount; ++i) {
    FParCheckBoxes[i]->setChecked(shown.MorphEnabled[i] != 0);
    SetParKnob(i, shown.Values[i]);
  }
  FSuppressParKnob = false;
  FSuppressMorph = false;
}

void TMainForm::GroupFilterButtonClick(QObject* Sender) {
  const int first = TagOf(Sender);
  if (first < 0 || first + 8 > kParameterCount) return;
  bool tick = false;
  for (int i = first; i < first + 8; ++i) {
    if (!FParCheckBoxes[i]->isChecked()) {
      tick = true;
      break;
    }
  }
  FSuppressMorph = true;
  for (int i = first; i < first + 8; ++i) FParCheckBoxes[i]->setChecked(tick);
  FSuppressMorph = false;
  UpdateMorph();
}

// ---- Transport and port ----

void TMainForm::Button1Click(QObject*) { FMidiOut->SendStart(); }
void TMainForm::Button2Click(QObject*) {
  EndSweep();
  FMidiOut->SendStop();
}
void TMainForm::Button3Click(QObject*) { FMidiOut->SendContinue(); }

void TMainForm::OpenButtonClick(QObject*) {
  FMidiOut->SetDeviceID(ui->MidiOutComboBox->DeviceID());
  if (FMidiOut->Open()) {
    DebugDevice.WriteLn("Midi is Open");
    RememberOutput(ui->MidiOutComboBox->currentText());
    // The status line tells the present: an error before this open is over.
    FMidiStatus.ErrorCode = 0;
    FMidiStatus.ErrorText.clear();
  } else {
    FMidiStatus.ErrorCode = FMidiOut->ErrorCode();
    FMidiStatus.ErrorText.clear();
  }
  UpdateMidiStatus();
  // Whether or not it opened: every ticked parameter goes to the newly opened device.
  UpdateMorph();
}

// A close error is shown on the status line and goes on to the application's error report.
void TMainForm::CloseButtonClick(QObject*) {
  try {
    FMidiOut->Close();
  } catch (const EMidiOutError& e) {
    FMidiStatus.ErrorCode = 0;
    FMidiStatus.ErrorText = e.what();
    UpdateMidiStatus();
    throw;
  }
  UpdateMidiStatus();
}

void TMainForm::UpdateMidiStatus() {
  FMidiStatus.State = FMidiOut->State();
  // A remembered output not listed at start is waited for as one that went away.
  if (!FAwaitedOutput.isEmpty() && FMidiStatus.State.Link == TMidiLink::mlClosed) {
    FMidiStatus.State.Link = TMidiLink::mlWaiting;
    FMidiStatus.State.Device = FAwaitedOutput.toStdString();
  }
  QString text = MidiOutStatusText(FMidiStatus);
  if (FMidiIn != nullptr) {
    TMidiInState inputState = FMidiIn->State();
    if (!FAwaitedInput.isEmpty() && inputState.Link == TMidiInLink::ilClosed)
      inputState = {TMidiInLink::ilAway, FAwaitedInput.toStdString()};
    const QString input = MidiInStatusText(inputState);
    if (!input.isEmpty()) text += QStringLiteral("; ") + input;
  }
  if (FDocument != nullptr && !FDocument->RecoveryError().isEmpty())
    text += QStringLiteral("; ") + FDocument->RecoveryError();
  const QString knob = KnobStatusText();
  const QString shown = knob.isEmpty() ? text : knob + QStringLiteral("; ") + text;
  if (FMidiStatusLabel->text() != shown) FMidiStatusLabel->setText(shown);
  if (ui->MidiOutComboBox->toolTip() != text) ui->MidiOutComboBox->setToolTip(text);
  UpdateClockActions();
}

QString TMainForm::KnobStatusText() const {
  if (!FTurnedKnob.isNull() && FKnobStatusTimer->isActive()) return FTurnedKnob->ValueHint();
  // A knob reached with the keyboard shows its value for as long as it keeps the focus.
  const auto* focused = qobject_cast<const TSkinKnob*>(QApplication::focusWidget());
  if (focused != nullptr && focused->window() == this && focused->GetFocusShown())
    return focused->ValueHint();
  return {};
}

TWindowFit FitWindow(const QPoint& corner, const QSize& panel, const QMargins& frame, int bar,
                     const QRect& available) {
  const QSize room = available.size().shrunkBy(frame);
  // A scroll bar down the right-hand side takes room across, one along the bottom takes height
  // (where the window is too narrow for that bar as well, it is as wide as the area either way).
  const bool across = panel.height() > room.height();
  const bool along = panel.width() > room.width();
  const QSize client(std::min(panel.width() + (across ? bar : 0), room.width()),
                     std::min(panel.height() + (along ? bar : 0), room.height()));
  const QSize whole = client.grownBy(frame);
  return {{std::max(std::min(corner.x(), available.right() + 1 - whole.width()), available.x()),
           std::max(std::min(corner.y(), available.bottom() + 1 - whole.height()), available.y())},
          client};
}

void TMainForm::KeepOnScreen() {
  const QScreen* at = screen();
  if (at == nullptr) return;
  const QRect frame = frameGeometry();
  const QRect client = geometry();
  const QMargins margins(client.left() - frame.left(), client.top() - frame.top(),
                         frame.right() - client.right(), frame.bottom() - client.bottom());
  // A window manager adds its frame after the window is shown; until then the frame is unknown
  // and the window is fitted again once it is known.
  FPlaceWhenFramed = margins.isNull() && isVisible();
  const TWindowFit fit =
      FitWindow(frame.topLeft(), FPanel->minimumSize(), margins,
                FPanelScroller->verticalScrollBar()->sizeHint().width(), at->availableGeometry());
  setMinimumSize(fit.Client.boundedTo(FPanel->minimumSize()));
  const QRect wanted(fit.Corner + QPoint(margins.left(), margins.top()), fit.Client);
  if (wanted != client) setGeometry(wanted);
}

void TMainForm::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (FPlaceWhenFramed && frameGeometry() != geometry()) KeepOnScreen();
}

void TMainForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && FPlaceWhenFramed && isActiveWindow())
    KeepOnScreen();
}
