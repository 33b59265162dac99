// The showcase window over the recording MIDI backend: pick a device, open it, play the keyboard on
// the picked channel, turn the knobs.
#include <QAbstractItemView>

#include <gtest/gtest.h>

#include "ComponentTestSupport.h"
#include "Eventually.h"
#include "RecordingMidiBackend.h"
#include "ShowcaseForm.h"

namespace {

TEST(Showcase, OpensThePickedDeviceAndPlaysTheKeyboardOnThePickedChannel) {
  TRecordingMidiService midi{{"First Out", "Second Out"}};
  TShowcaseForm form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  EXPECT_GE(form.Keyboard()->width(), 831) << "all 128 keys in view";
  // The device list is read on the MIDI service's worker once the window has painted.
  ASSERT_TRUE(halvorine_test::Eventually([&] { return form.Devices()->Listed(); }));
  ASSERT_EQ(form.Devices()->count(), 2);

  form.Devices()->setCurrentIndex(1);
  QTest::mouseClick(form.OpenButton(), Qt::LeftButton);
  EXPECT_TRUE(form.Port()->IsOpen());
  EXPECT_EQ(form.Status()->text(), QStringLiteral("Open: Second Out"));

  form.Channels()->showPopup();
  QAbstractItemView* list = form.Channels()->view();
  while (list->currentIndex().row() < 9) QTest::keyClick(list, Qt::Key_Down);
  QTest::keyClick(list, Qt::Key_Return);
  EXPECT_EQ(form.Keyboard()->GetMidiChannel(), 10);

  const QPoint cSharp = form.Keyboard()->mapTo(&form, QPoint(14, 10));
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, cSharp);
  const std::vector<TRecordedMessage> sent = midi->Messages();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (TRecordedMessage{"Second Out", {0x99, 1, 54}}));
  EXPECT_EQ(sent[1], (TRecordedMessage{"Second Out", {0x99, 1, 0}}));

  midi->RefuseOpen(MMSYSERR_ALLOCATED);
  form.Devices()->setCurrentIndex(0);
  form.OpenPort();
  EXPECT_FALSE(form.Port()->IsOpen());
  EXPECT_EQ(form.Status()->text(), QStringLiteral("Cannot open the device (error 4)"));
}

TEST(Showcase, KnobsOnTheirRangesShowTheirPositions) {
  TRecordingMidiService midi;
  TShowcaseForm form;
  const std::pair<int, int> ranges[] = {{0, 100}, {0, 127}, {-100, 100}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(std::pair(form.Knob(i)->GetMin(), form.Knob(i)->GetMax()), ranges[i]) << i;
    form.Knob(i)->SetPosition(ranges[i].first + 7);
    EXPECT_EQ(form.KnobValue(i)->text(), QString::number(ranges[i].first + 7)) << i;
  }
  EXPECT_EQ(form.KnobValue(2)->text(), QStringLiteral("-93"));
}

}  // namespace
