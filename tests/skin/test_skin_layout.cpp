// The controls placed from a Designer form as promoted widgets, on the real skin sheets compiled
// into the program.

#include "SkinButton.h"
#include "SkinCheckBox.h"
#include "SkinKnob.h"
#include "SkinResources.h"
#include "SkinTestSupport.h"
#include "ui_PromotedForm.h"

namespace {

TEST(SkinLayout, FormSetsPropertiesByNameAndSheetsComeFromResources) {
  QWidget form;
  Ui::PromotedForm ui;
  ui.setupUi(&form);

  TSkinSource knobSkin, soundSkin;
  ASSERT_TRUE(knobSkin.LoadBitmap(kKnobSkinPath));
  ASSERT_TRUE(soundSkin.LoadBitmap(kSoundSelectionSkinPath));
  ASSERT_EQ(knobSkin.GetBitmap().size(), QSize(1474, 22));
  ASSERT_EQ(soundSkin.GetBitmap().size(), QSize(184, 52));

  ui.PresetB1Knob->SetSkinSource(&knobSkin);
  ui.M4CheckBox->SetSkinSource(&soundSkin);
  int changes = 0;
  ui.PresetB1Knob->OnChange = [&](QObject*) { ++changes; };

  EXPECT_EQ(ui.PresetB1Knob->GetMax(), 127);
  EXPECT_EQ(ui.PresetB1Knob->GetPosition(), 127);
  EXPECT_EQ(ui.PresetB1Knob->GetGlyphIndex(), 66);
  EXPECT_EQ(ui.PresetB1Knob->toolTip(), "Bank B preset");
  EXPECT_EQ(ui.M4CheckBox->GetTag(), 15);
  EXPECT_TRUE(ui.M4CheckBox->GetChecked());
  EXPECT_EQ(ui.StepButton->GetGlyphIndex(), 0);
  EXPECT_EQ(changes, 0);

  // The checked M4 box shows the sheet's lower right cell, (161, 39) to (184, 52).
  const QImage shown = ui.M4CheckBox->grab().toImage();
  ASSERT_EQ(shown.size(), QSize(23, 13));
  for (int y = 0; y < 13; ++y)
    for (int x = 0; x < 23; ++x)
      ASSERT_EQ(shown.pixel(x, y) & 0xFFFFFF,
                soundSkin.GetBitmap().pixel(161 + x, 39 + y) & 0xFFFFFF)
          << x << "," << y;

  const QImage knob = ui.PresetB1Knob->grab().toImage();
  for (int y = 0; y < 22; ++y)
    for (int x = 0; x < 22; ++x)
      ASSERT_EQ(knob.pixel(x, y) & 0xFFFFFF, knobSkin.GetBitmap().pixel(1452 + x, y) & 0xFFFFFF)
          << x << "," << y;
}

}  // namespace
