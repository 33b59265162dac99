#pragma once

#include <QImage>

// The bitmap knob's three pictures, drawn pixel by pixel in the standard 16-colour palette
// (Format_Indexed8 with that 16-entry table), 27 x 27 and centred on pixel (13, 13). With d2 the
// squared distance of a pixel from the centre:
//   - the face is d2 <= 90 (the mask's black disc), silver, with a white highlight on the upper
//     left and grey shading on the lower right of its outer band (d2 > 64);
//   - the black outline is 90 < d2 <= 110, 21 pixels across (columns and rows 3 to 23);
//   - seven black tick marks lie outside it at the detent directions, 45 degrees apart from the
//     lower left over the top to the lower right;
//   - the focus picture adds a one-pixel ring on the outline's outer side, grey on the upper left
//     half and white on the lower right half;
//   - everything else of the two knob pictures is pure red, which the knob treats as transparent.
namespace KnobArt {

constexpr int kSize = 27;
constexpr int kCentre = 13;

QImage PaintKnob(bool focus);
QImage PaintMask();

}  // namespace KnobArt
