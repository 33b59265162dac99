#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>

#include <array>

// The two skin sheets of the main window, drawn with antialiasing. Geometry and the colours that
// must match the window are fixed here; the controls address the sheets by these numbers.
namespace SkinArt {

// The main window's background: the knob surround and the sound tiles carry it, because the
// controls copy their frames opaquely onto a window of this colour.
inline const QColor kWindowColor{212, 208, 200};
// Ground and border of the sound selection sheet.
inline const QColor kSoundGround{88, 10, 21};
inline const QColor kKnobFace{224, 221, 215};
inline const QColor kKnobPointer{107, 106, 103};

constexpr int kSoundCellWidth = 23;
constexpr int kSoundCellHeight = 13;
constexpr int kSoundColumns = 8;
constexpr int kSoundBands = 4;  // off / on frames of sounds 0-7, then off / on of sounds 8-15
constexpr int kSoundSheetWidth = kSoundCellWidth * kSoundColumns;  // 184
constexpr int kSoundSheetHeight = kSoundCellHeight * kSoundBands;  // 52

// Where a label may touch, in cell coordinates (inclusive).
constexpr int kLabelLeft = 4;
constexpr int kLabelRight = 19;
constexpr int kLabelTop = 2;
constexpr int kLabelBottom = 10;

constexpr int kKnobFrameSize = 22;
constexpr int kKnobFrameCount = 67;
constexpr int kKnobStripWidth = kKnobFrameSize * kKnobFrameCount;  // 1474

// Pointer angle of knob frame `frame`, in degrees clockwise from straight up: -135 at frame 0,
// 0 at frame 33, +135 at frame 66.
double KnobPointerDegrees(int frame);

// Labels of the sixteen sounds, by sound index.
const std::array<QString, 16>& SoundLabels();

// The 184 x 52 sound selection sheet. `labelFont` gives the outlines of the labels; they are
// scaled to 8 pixels high (capitals sit on rows 3 to 10 of a cell) and narrowed if needed to fit
// the label box. Rows 0-12 hold sounds 0-7 off, 13-25 on, 26-38 sounds 8-15 off, 39-51 on.
QImage PaintSoundSelectionSheet(const QFont& labelFont);

// The 1474 x 22 strip of 67 knob frames, identical but for the pointer.
QImage PaintKnobStrip();

}  // namespace SkinArt
