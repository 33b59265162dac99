#pragma once

// Resource paths of the main window's skin sheets (24-bit BMP files compiled into the program by
// the halvorine_resources library; load them with TSkinSource::LoadBitmap or QImage).
//
// The sound selection sheet is 184 x 52: eight 23 x 13 cells per band; bands of the off and on
// frames of sounds 0-7, then of sounds 8-15. The knob strip is 1474 x 22: 67 frames of 22 x 22,
// the pointer turning from -135 to +135 degrees.
inline constexpr const char* kSoundSelectionSkinPath = ":/skins/SoundSelection.bmp";
inline constexpr const char* kKnobSkinPath = ":/skins/KnobStrip.bmp";
