#pragma once

// Drives the real main window as a user does: clicks and drags go through the window system
// layer (offscreen), the base-channel list is chosen through its popup with the keys. Controls are
// found by their layout names.

#include <gtest/gtest.h>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <vector>

#include "Eventually.h"
#include "MainForm.h"
#include "RecordingMidiBackend.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"

// The seven preset and mix knobs, in the order of the model's knob numbers 24..30.
inline const char* const kBankKnobNames[7] = {"PresetA1Knob", "PresetA2Knob", "PresetB1Knob",
                                              "PresetB2Knob", "MixKnob",      "MixAKnob",
                                              "MixBKnob"};

class TPanelDriver {
public:
  explicit TPanelDriver(TMainForm& form) : FForm(form) {}

  template <typename T>
  T* Find(const QString& name) const {
    T* control = FForm.findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name.toStdString();
    return control;
  }
  // Knob k: 0..23 the parameter knobs, 24..30 the preset and mix knobs.
  TSkinKnob* Knob(int k) const {
    return Find<TSkinKnob>(k < kParameterCount ? QStringLiteral("ParKnob%1").arg(k + 1)
                                               : QString(kBankKnobNames[k - kParameterCount]));
  }
  QCheckBox* ParBox(int i) const {
    return Find<QCheckBox>(QStringLiteral("CheckBox%1").arg(i + 1));
  }
  TSkinCheckBox* SoundBox(int s) const {
    return Find<TSkinCheckBox>(QString(kSoundNames[s]) + "CheckBox");
  }
  QPushButton* Button(const QString& name) const { return Find<QPushButton>(name); }
  QComboBox* BaseChannel() const { return Find<QComboBox>("BaseChannelComboBox"); }

  QWindow* Window() const { return FForm.windowHandle(); }

  void Click(QWidget* control, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(Window(), button, {}, control->mapTo(&FForm, control->rect().center()));
  }
  void Press(const QString& button) { Click(Button(button)); }

  // A left-button drag: pressed in the middle of the knob, moved to each offset in turn, released
  // where the pointer last was. Consecutive points must differ.
  void Drag(QWidget* knob, const std::vector<QPoint>& offsets) {
    const QPoint at = knob->geometry().center();
    QTest::mousePress(Window(), Qt::LeftButton, {}, at);
    for (const QPoint& offset : offsets) QTest::mouseMove(Window(), at + offset);
    QTest::mouseRelease(Window(), Qt::LeftButton, {}, at + offsets.back());
  }

  // One drag move that lands knob k on `value`.
  void DragTo(TSkinKnob* knob, int value) {
    const int range = knob->GetMax() - knob->GetMin();
    const int start = knob->GetPosition();
    for (int dy = 1; dy <= 400; ++dy) {
      for (int sign : {-1, 1}) {
        if (std::clamp(start - range * sign * dy / 128, knob->GetMin(), knob->GetMax()) == value) {
          Drag(knob, {QPoint(0, sign * dy)});
          return;
        }
      }
    }
    ADD_FAILURE() << "no drag reaches " << value;
  }

  void ChooseBaseChannel(int item) {
    QComboBox* list = BaseChannel();
    list->showPopup();
    QAbstractItemView* view = list->view();
    while (view->currentIndex().row() < item) QTest::keyClick(view, Qt::Key_Down);
    while (view->currentIndex().row() > item) QTest::keyClick(view, Qt::Key_Up);
    QTest::keyClick(view, Qt::Key_Return);
  }

private:
  TMainForm& FForm;
};

// The messages that reached the recording device from `first` on. Waits for `expected` of them,
// in case the service hands messages to the device on a thread of its own; returns as soon as that
// many are there.
inline std::vector<std::vector<std::uint8_t>> ReceivedFrom(const TRecordingMidiBackend& midi,
                                                           std::size_t first,
                                                           std::size_t expected) {
  std::vector<TRecordedMessage> all;
  halvorine_test::Eventually([&] {
    all = midi.Messages();
    return all.size() >= first + expected;
  });
  std::vector<std::vector<std::uint8_t>> bytes;
  for (std::size_t m = first; m < all.size(); ++m) bytes.push_back(all[m].Bytes);
  return bytes;
}
