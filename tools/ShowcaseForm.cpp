#include "ShowcaseForm.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

struct TKnobRange {
  int Min;
  int Max;
  const char* Caption;
};

constexpr TKnobRange kKnobRanges[3] = {
    {0, 100, "0 .. 100"}, {0, 127, "0 .. 127"}, {-100, 100, "-100 .. 100"}};

}  // namespace

TShowcaseForm::TShowcaseForm(QWidget* parent)
    : QWidget(parent),
      FPort(new TMidiOut(this)),
      FDevices(new TMidiOutComboBox(this)),
      FOpenButton(new QPushButton(QStringLiteral("Open"), this)),
      FChannels(new TChannelComboBox(this)),
      FStatus(new QLabel(QStringLiteral("No device open"), this)),
      FKeyboard(new TMidiKeyboard(this)) {
  setWindowTitle(QStringLiteral("Halvorine components"));
  // The knob's pictures are 16-colour; on silver their surround matches the window exactly.
  QPalette silver = palette();
  silver.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
  setPalette(silver);
  setAutoFillBackground(true);

  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("Device"), this));
  top->addWidget(FDevices, 1);
  top->addWidget(FOpenButton);
  top->addSpacing(12);
  top->addWidget(new QLabel(QStringLiteral("Channel"), this));
  top->addWidget(FChannels);
  top->addSpacing(12);
  top->addWidget(FStatus, 2);

  FKeyboard->SetMidiOut(FPort);
  FKeyboard->SetColor(palette().color(QPalette::Window));
  FKeyboard->setMinimumSize(FKeyboard->sizeHint());

  auto* knobs = new QGridLayout;
  for (int i = 0; i < 3; ++i) {
    auto* knob = new TKnob(this);
    knob->setFixedSize(TKnob::kSize, TKnob::kSize);
    knob->SetMin(kKnobRanges[i].Min);
    knob->SetMax(kKnobRanges[i].Max);
    auto* value = new QLabel(this);
    value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("-1000")));
    value->setNum(knob->GetPosition());
    knob->OnChange = [knob, value](QObject*) { value->setNum(knob->GetPosition()); };
    knobs->addWidget(new QLabel(QString::fromLatin1(kKnobRanges[i].Caption), this), 0, i,
                     Qt::AlignHCenter);
    auto* cell = new QHBoxLayout;
    cell->addStretch();
    cell->addWidget(knob);
    cell->addWidget(value);
    cell->addStretch();
    knobs->addLayout(cell, 1, i);
    FKnobs[i] = knob;
    FKnobValues[i] = value;
  }

  auto* main = new QVBoxLayout(this);
  main->addLayout(top);
  main->addWidget(FKeyboard);
  main->addLayout(knobs);
  main->addStretch();

  connect(FOpenButton, &QPushButton::clicked, this, &TShowcaseForm::OpenPort);
  connect(FChannels, &QComboBox::activated, this,
          [this] { FKeyboard->SetMidiChannel(FChannels->Channel()); });
}

// The port is made first, so of the window's children it would be destroyed first, before the
// keyboard could end its note on it.
TShowcaseForm::~TShowcaseForm() { FKeyboard->SetMidiOut(nullptr); }

void TShowcaseForm::OpenPort() {
  try {
    FPort->Close();
  } catch (const EMidiOutError& e) {
    FStatus->setText(QString::fromLatin1(e.what()));
    return;
  }
  FPort->SetDeviceID(FDevices->DeviceID());
  if (FPort->Open())
    FStatus->setText(QStringLiteral("Open: %1").arg(FDevices->currentText()));
  else
    FStatus->setText(QStringLiteral("Cannot open the device (error %1)").arg(FPort->ErrorCode()));
}
