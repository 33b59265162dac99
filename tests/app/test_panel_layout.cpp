// The main window's layout against a table of every control: class, position, size, caption, hint,
// parent, the properties the layout sets, and the order in which Tab visits the controls. The
// table is written out here on its own, not read from the layout file; the layout file is read
// only for the names of its controls, so that a control added there without a row here is found.
// Controls that other code adds to the window are not the layout's and are left alone, as long as
// they do not take a place in the layout's Tab order.
#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QSet>
#include <QTest>
#include <QXmlStreamReader>

#include <optional>

#include "PanelDriver.h"

namespace {

struct TControl {
  QString Name, Class;
  QRect Geometry;                  // width -1: the size is the toolkit's
  std::optional<QString> Caption;  // none: the control has no caption
  std::optional<QString> Hint;     // none: not looked at (a knob may show its value there)
  QString Parent = "Panel";        // the window's scrolled panel
};

const QString kNoHint = "";

std::vector<TControl> LayoutTable() {
  std::vector<TControl> t;
  // The parameter grid: parameter n in column c = (n - 1) div 8, row r = (n - 1) mod 8.
  const QStringList labels =
      QStringLiteral(
          "Label1 Label2 Par3 Label3 Par5 Par6 Label4 Label5 Label6 Label7 Label8 Label9 Label10 "
          "Label11 Label12 Label13 Label14 Label15 Label16 Label17 Label18 Label19 Label20 Label21")
          .split(' ');
  const QStringList captions =
      QStringLiteral(
          "Par1,Par2,Par3,Par4,Par5,Par6,Par7,Par8,AM Depth,AM Rate,"
          "EQ Freq,EQ Gain,Filter Freq,Filter Width,Filter Q,SRR,"
          "Distortion,Volume,Pan,Delay,Reverb,LFO Speed,LFO Amnt,LFO Shape")
          .split(',');
  // The tick boxes carry the captions, but for two shortened ones.
  QStringList boxCaptions = captions;
  boxCaptions[12] = "Filter F";
  boxCaptions[13] = "Filter W";
  constexpr int kWidths[24] = {22, 22, 22, 22, 22, 22, 22, 22, 48, 42, 39, 40,
                               46, 53, 33, 23, 44, 35, 19, 27, 35, 54, 47, 54};
  constexpr int kColumnLeft[3] = {8, 80, 160}, kKnobLeft[3] = {24, 96, 176};
  for (int n = 1; n <= 24; ++n) {
    const int c = (n - 1) / 8, r = (n - 1) % 8;
    const int left = kColumnLeft[c];
    const QString label = labels[n - 1], caption = captions[n - 1];
    t.push_back({label, "QLabel", {left, 56 + 48 * r, kWidths[n - 1], 13}, caption, kNoHint});
    const QString box = QString("CheckBox%1").arg(n);
    t.push_back({box, "QCheckBox", {left, 72 + 48 * r, 17, 17}, boxCaptions[n - 1], kNoHint});
    t.push_back({QString("ParKnob%1").arg(n),
                 "TSkinKnob",
                 {kKnobLeft[c], 72 + 48 * r, 22, 22},
                 std::nullopt,
                 std::nullopt});
  }
  for (int i = 0; i < 3; ++i) {
    t.push_back({QString("GroupFilterButton%1").arg(i + 1),
                 "QPushButton",
                 {kColumnLeft[i], 440, 17, 17},
                 "",
                 "Previous"});
  }
  for (int tag = 0; tag < 16; ++tag) {
    t.push_back({QString(kSoundNames[tag]) + "CheckBox",
                 "TSkinCheckBox",
                 {8 + 24 * (tag % 8), 8 + 16 * (tag / 8), 23, 13},
                 std::nullopt,
                 kNoHint});
  }
  // The preset and mix knobs, in the order of kBankKnobNames.
  const QPoint bankKnobs[7] = {{256, 224}, {288, 224}, {472, 224}, {504, 224},
                               {384, 208}, {360, 248}, {408, 248}};
  for (int k = 0; k < 7; ++k)
    t.push_back({kBankKnobNames[k], "TSkinKnob", {bankKnobs[k], QSize(22, 22)}, {}, std::nullopt});
  const TControl rest[] = {
      {"Label24", "QLabel", {384, 192, -1, 13}, "MIX", kNoHint},
      {"OpenButton", "QPushButton", {248, 104, 105, 25}, "Open", kNoHint},
      {"CloseButton", "QPushButton", {360, 104, 99, 25}, "Close", kNoHint},
      {"ADownButton", "QPushButton", {256, 256, 25, 17}, "<", "Previous"},
      {"BDownButton", "QPushButton", {472, 256, 25, 17}, "<", "Previous"},
      {"AUpButton", "QPushButton", {288, 256, 25, 17}, ">", "Next"},
      {"BUpButton", "QPushButton", {504, 256, 25, 17}, ">", "Next"},
      {"StoreAButton", "QPushButton", {256, 200, 25, 17}, "S", "Store"},
      {"RecallAButton", "QPushButton", {288, 200, 25, 17}, "R", "Recall"},
      {"StoreBButton", "QPushButton", {472, 200, 25, 17}, "S", "Store"},
      {"RecallBButton", "QPushButton", {504, 200, 25, 17}, "R", "Recall"},
      {"Button1", "QPushButton", {240, 336, 75, 25}, "Start", kNoHint},
      {"Button2", "QPushButton", {328, 336, 75, 25}, "Stop", kNoHint},
      {"Button3", "QPushButton", {416, 336, 75, 25}, "Continue", kNoHint},
      {"Panel1", "QFrame", {224, 8, 2, 425}, std::nullopt, kNoHint},
      {"GroupBox1", "QGroupBox", {232, 16, 241, 137}, " Midi Setup ", kNoHint},
      {"Label23", "QLabel", {16, 24, 66, 13}, "Base Channel", kNoHint, "GroupBox1"},
      {"GroupBox2", "QGroupBox", {232, 176, 97, 129}, " Bank A ", kNoHint},
      {"GroupBox3", "QGroupBox", {456, 176, 97, 129}, " Bank B ", kNoHint},
      // The device list's hint tells the port's state, as the status line does (checked below).
      {"MidiOutComboBox", "TMidiOutComboBox", {248, 72, 209, 21}, std::nullopt, std::nullopt},
      {"BaseChannelComboBox", "QComboBox", {320, 40, 57, 21}, std::nullopt, kNoHint},
  };
  t.insert(t.end(), std::begin(rest), std::end(rest));
  return t;
}

// The controls Tab visits, in order. The device picker has no place of its own in the layout's
// numbering; the panel puts it after the store and recall buttons, before the base channel.
QStringList TabOrder() {
  QStringList order = {"OpenButton",  "CloseButton", "ADownButton",
                       "BDownButton", "AUpButton",   "BUpButton"};
  // Each parameter knob right after its tick box.
  for (int n = 1; n <= 24; ++n) {
    order << QString("CheckBox%1").arg(n) << QString("ParKnob%1").arg(n);
  }
  order << QStringLiteral(
               "StoreAButton RecallAButton StoreBButton RecallBButton MidiOutComboBox "
               "BaseChannelComboBox GroupFilterButton1 GroupFilterButton2 "
               "GroupFilterButton3 Button1 Button2 Button3")
               .split(' ');
  // The other skinned controls follow: the sound row, bank A's preset knobs, the mix knobs,
  // bank B's preset knobs.
  for (int tag = 0; tag < 16; ++tag) order << QString(kSoundNames[tag]) + "CheckBox";
  order << QStringLiteral(
               "PresetA1Knob PresetA2Knob MixKnob MixAKnob MixBKnob PresetB1Knob "
               "PresetB2Knob")
               .split(' ');
  return order;
}

// Properties the layout sets beyond place and caption.
std::vector<std::tuple<QString, const char*, QVariant>> PropertyTable() {
  std::vector<std::tuple<QString, const char*, QVariant>> t;
  const auto knob = [&](const QString& name, int min, int max, int position, int glyph) {
    for (auto [property, value] : {std::pair{"Min", min},
                                   {"Max", max},
                                   {"Position", position},
                                   {"GlyphIndex", glyph},
                                   {"GlyphColCount", 67},
                                   {"GlyphRowCount", 1},
                                   {"Sensitivity", 128}}) {
      t.emplace_back(name, property, value);
    }
  };
  for (int n = 1; n <= 24; ++n) knob(QString("ParKnob%1").arg(n), 0, 127, 0, 0);
  knob("PresetA1Knob", 0, 127, 0, 0);
  knob("PresetA2Knob", 0, 127, 0, 0);
  knob("PresetB1Knob", 0, 127, 127, 66);
  knob("PresetB2Knob", 0, 127, 127, 66);
  knob("MixKnob", 0, 100, 0, 0);
  knob("MixAKnob", -100, 100, 0, 33);
  knob("MixBKnob", -100, 100, 0, 33);
  for (int tag = 0; tag < 16; ++tag) {
    const QString box = QString(kSoundNames[tag]) + "CheckBox";
    for (auto [property, value] : {std::pair{"Tag", QVariant(tag)},
                                   {"SkinXOffset", 23 * (tag % 8)},
                                   {"SkinYOffset", 26 * (tag / 8)},
                                   {"GlyphColCount", 1},
                                   {"GlyphRowCount", 2},
                                   {"Checked", tag == 0},
                                   {"GlyphIndex", tag == 0 ? 1 : 0}}) {
      t.emplace_back(box, property, value);
    }
  }
  for (int i = 0; i < 3; ++i)
    t.emplace_back(QString("GroupFilterButton%1").arg(i + 1), "Tag", 8 * i);
  for (int n = 1; n <= 24; ++n) t.emplace_back(QString("CheckBox%1").arg(n), "checked", false);
  return t;
}

std::optional<QString> CaptionOf(const QWidget* w) {
  if (auto* label = qobject_cast<const QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
  if (auto* box = qobject_cast<const QGroupBox*>(w)) return box->title();
  return std::nullopt;
}

// The names of the controls in the layout file.
QStringList NamesInLayoutFile() {
  QFile file(HALVORINE_MAINFORM_UI);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << HALVORINE_MAINFORM_UI;
  QXmlStreamReader xml(&file);
  QStringList names;
  while (!xml.atEnd()) {
    if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"widget") {
      names << xml.attributes().value("name").toString();
    }
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  names.removeAll("MainForm");
  return names;
}

class Layout : public testing::Test {
protected:
  void SetUp() override {
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
  }
  TRecordingMidiService Midi{{"Recording Out"}};
  TMainForm Form;
};

TEST_F(Layout, EveryControlHasItsClassPlaceSizeCaptionHintAndParent) {
  EXPECT_EQ(Form.objectName(), "MainForm");
  EXPECT_EQ(Form.windowTitle(), "Halvorine v0.2");
  EXPECT_EQ(Form.pos(), QPoint(199, 137));
  // The client area of a 578 x 501 window with a 4-pixel frame and a 19-pixel caption.
  EXPECT_EQ(Form.size(), QSize(570, 474));
  for (const TControl& c : LayoutTable()) {
    SCOPED_TRACE(c.Name.toStdString());
    const QWidget* w = Form.findChild<QWidget*>(c.Name);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->metaObject()->className(), qPrintable(c.Class));
    ASSERT_NE(w->parentWidget(), nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), c.Parent);
    EXPECT_EQ(w->pos(), c.Geometry.topLeft());
    if (c.Geometry.width() >= 0) {
      EXPECT_EQ(w->size(), c.Geometry.size());
    }
    EXPECT_EQ(CaptionOf(w), c.Caption);
    if (c.Hint) {
      EXPECT_EQ(w->toolTip(), *c.Hint);
    }
    EXPECT_TRUE(w->isVisible());
  }
  const QLabel* status = Form.findChild<QLabel*>("MidiStatusLabel");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(Form.findChild<QWidget*>("MidiOutComboBox")->toolTip(), status->text());
  QStringList items;
  for (int k = 0; k < 13; ++k) items << QString("%1 - %2").arg(k + 1).arg(k + 4);
  const QComboBox* base = Form.findChild<QComboBox*>("BaseChannelComboBox");
  QStringList shown;
  for (int k = 0; k < base->count(); ++k) shown << base->itemText(k);
  EXPECT_EQ(shown, items);
  EXPECT_FALSE(base->isEditable());
  EXPECT_EQ(base->currentIndex(), 0);
}

TEST_F(Layout, EveryControlStartsWithTheLayoutsProperties) {
  for (const auto& [name, property, value] : PropertyTable()) {
    const QObject* control = Form.findChild<QObject*>(name);
    ASSERT_NE(control, nullptr) << name.toStdString();
    EXPECT_EQ(control->property(property), value) << name.toStdString() << "." << property;
  }
  // All 31 knobs draw from one skin source, the sixteen sound boxes from another.
  QSet<TSkinSource*> knobSources, soundSources;
  for (const TSkinKnob* knob : Form.findChildren<TSkinKnob*>())
    knobSources << knob->GetSkinSource();
  for (const TSkinCheckBox* box : Form.findChildren<TSkinCheckBox*>()) {
    soundSources << box->GetSkinSource();
  }
  ASSERT_EQ(knobSources.size(), 1);
  ASSERT_EQ(soundSources.size(), 1);
  EXPECT_NE(*knobSources.begin(), nullptr);
  EXPECT_NE(*soundSources.begin(), nullptr);
  EXPECT_NE(*knobSources.begin(), *soundSources.begin());
}

TEST_F(Layout, TabVisitsTheLayoutsControlsInTheirOrder) {
  QStringList visited;  // the Tab stops of the window, in the order Tab reaches them
  for (QWidget* w = Form.nextInFocusChain(); w != &Form; w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&Form) && w->isEnabled()) {
      visited << w->objectName();
    }
  }
  QSet<QString> listed;
  for (const TControl& c : LayoutTable()) listed << c.Name;
  QStringList ofTheLayout;
  for (const QString& name : visited) {
    if (listed.contains(name)) ofTheLayout << name;
  }
  EXPECT_EQ(ofTheLayout.join(' ').toStdString(), TabOrder().join(' ').toStdString());
  // A control of the layout file without a row in the table must not take a place either.
  const QStringList inFile = NamesInLayoutFile();
  for (const QString& name : inFile) {
    if (!listed.contains(name)) {
      EXPECT_FALSE(visited.contains(name)) << name.toStdString();
    }
  }
  for (const QString& name : listed) EXPECT_TRUE(inFile.contains(name)) << name.toStdString();
}

}  // namespace
