#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "ChannelComboBox.h"
#include "Eventually.h"
#include "MidiOut.h"
#include "MidiOutComboBox.h"
#include "RecordingMidiBackend.h"

namespace {

QStringList Items(const QComboBox& box) {
  QStringList items;
  for (int i = 0; i < box.count(); ++i) items << box.itemText(i);
  return items;
}

// The list is read on the service's worker; this waits until the picker shows it.
void WaitListed(const TMidiOutComboBox& box) {
  ASSERT_TRUE(halvorine_test::Eventually([&] { return box.Listed(); }));
}

}  // namespace

// The first list is read on the worker; long and non-ASCII names show as the service gives them.
TEST(MidiOutComboBox, ListsTheDevicesInTheServicesOrderAndSelectsTheFirst) {
  const QString unicode = QString::fromUtf8("Ünïcode Öut"), longName(40, QChar('n'));
  TRecordingMidiService midi({"First Synth", unicode.toStdString(), longName.toStdString()});
  TMidiOutComboBox box;
  WaitListed(box);
  EXPECT_EQ(Items(box), (QStringList{"First Synth", unicode, longName}));
  EXPECT_EQ(box.DeviceID(), 0);
  EXPECT_EQ(box.width(), 185);
  EXPECT_FALSE(box.isEditable());
  // Setting DeviceID selects that item or nothing.
  const std::pair<int, int> cases[] = {{1, 1},   {2, 2},   {3, -1}, {0, 0},
                                       {-1, -1}, {-7, -1}, {99, -1}};
  for (auto [set, read] : cases) {
    box.SetDeviceID(set);
    EXPECT_EQ(box.DeviceID(), read) << set;
  }
  box.setProperty("DeviceID", 0);
  EXPECT_EQ(box.DeviceID(), 0);
  // Choosing the third item by the user's hand.
  box.show();
  QTest::keyClick(&box, Qt::Key_Down);
  QTest::keyClick(&box, Qt::Key_Down);
  EXPECT_EQ(box.DeviceID(), 2);
  EXPECT_EQ(box.property("DeviceID").toInt(), 2);
  // The chosen number opens that device.
  TMidiOut port;
  port.SetDeviceID(box.DeviceID());
  ASSERT_TRUE(port.Open());
  port.SendStart();
  ASSERT_EQ(midi->Messages().size(), 1u);
  EXPECT_EQ(midi->Messages()[0].Device, longName.toStdString());
}

// With no device the picker is empty and a port given its number refuses to open. The list is
// read again only when filled, through the numbered list, which gives whole names too.
TEST(MidiOutComboBox, WithNoDeviceIsEmptyAndReadsTheListAgainOnlyWhenFilled) {
  TRecordingMidiService midi(std::vector<std::string>{});
  TMidiOutComboBox box;
  WaitListed(box);
  EXPECT_EQ(box.count(), 0);
  EXPECT_EQ(box.DeviceID(), -1);
  TMidiOut port;
  port.SetDeviceID(box.DeviceID());
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.ErrorCode(), 2);
  midi->SetDevices({"Ünïcode Öut", std::string(40, 'n')});
  EXPECT_EQ(box.count(), 0);
  box.FillDevices();
  EXPECT_EQ(Items(box), (QStringList{QString::fromUtf8("Ünïcode Öut"), QString(40, QChar('n'))}));
  EXPECT_EQ(box.DeviceID(), 0);
}

TEST(ChannelComboBox, ListsSixteenChannelsAndSelectsTheOneSetOrChosen) {
  TChannelComboBox box;
  QStringList expected;
  for (int i = 1; i <= 16; ++i) expected << QString::number(i);
  EXPECT_EQ(Items(box), expected);
  EXPECT_EQ(box.currentText(), "1");
  EXPECT_EQ(box.Channel(), 1);
  EXPECT_EQ(box.width(), 41);
  EXPECT_FALSE(box.isEditable());
  const std::tuple<int, int, QString> cases[] = {{16, 16, "16"}, {0, 0, ""},  {5, 5, "5"},
                                                 {17, 0, ""},    {1, 1, "1"}, {-3, 0, ""}};
  for (const auto& [set, read, text] : cases) {
    box.SetChannel(set);
    EXPECT_EQ(box.Channel(), read) << set;
    EXPECT_EQ(box.currentText(), text) << set;
  }
  box.setProperty("Channel", 9);
  EXPECT_EQ(box.Channel(), 9);
  // The user's choice.
  box.show();
  QSignalSpy activated(&box, &QComboBox::activated);
  QTest::keyClick(&box, Qt::Key_End);
  EXPECT_EQ(box.Channel(), 16);
  EXPECT_EQ(activated.count(), 1);
}
