#include "KnobArt.h"

#include "Knob.h"

namespace KnobArt {

namespace {

constexpr int kBlack = 0;
constexpr int kSilver = 7;
constexpr int kGrey = 8;
constexpr int kRed = 9;
constexpr int kWhite = 15;

constexpr int kFaceLimit = 90;      // d2 of the face and of the mask's disc
constexpr int kHighlightFrom = 64;  // the face's outer band
constexpr int kOutlineLimit = 110;

int Distance2(int x, int y) {
  const int dx = x - kCentre, dy = y - kCentre;
  return dx * dx + dy * dy;
}

QImage Blank(int index) {
  QImage picture(kSize, kSize, QImage::Format_Indexed8);
  picture.setColorTable(QList<QRgb>(kStandardPalette.begin(), kStandardPalette.end()));
  picture.fill(index);
  return picture;
}

// Upper left (grey / highlight side) or lower right, split along the rising diagonal.
bool UpperLeft(int x, int y) {
  const int sum = (x - kCentre) + (y - kCentre);
  return sum < 0 || (sum == 0 && y < kCentre);
}

}  // namespace

QImage PaintKnob(bool focus) {
  QImage picture = Blank(kRed);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const int d2 = Distance2(x, y);
      if (d2 <= kHighlightFrom)
        picture.setPixel(x, y, kSilver);
      else if (d2 <= kFaceLimit)
        picture.setPixel(x, y,
                         (x - kCentre) + (y - kCentre) < 0   ? kWhite
                         : (x - kCentre) + (y - kCentre) > 0 ? kGrey
                                                             : kSilver);
      else if (d2 <= kOutlineLimit)
        picture.setPixel(x, y, kBlack);
      else if (focus) {
        const bool touchesOutline =
            Distance2(x - 1, y) <= kOutlineLimit || Distance2(x + 1, y) <= kOutlineLimit ||
            Distance2(x, y - 1) <= kOutlineLimit || Distance2(x, y + 1) <= kOutlineLimit;
        if (touchesOutline) picture.setPixel(x, y, UpperLeft(x, y) ? kGrey : kWhite);
      }
    }
  }
  // Ticks: two pixels each, 12 and 13 pixels out straight, 9 and 10 diagonal steps out.
  constexpr int kDirections[7][2] = {{-1, 1}, {-1, 0}, {-1, -1}, {0, -1}, {1, -1}, {1, 0}, {1, 1}};
  for (const auto& d : kDirections) {
    const int first = d[0] != 0 && d[1] != 0 ? 9 : 12;
    for (int r = first; r <= first + 1; ++r)
      picture.setPixel(kCentre + r * d[0], kCentre + r * d[1], kBlack);
  }
  return picture;
}

QImage PaintMask() {
  QImage mask = Blank(kWhite);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x)
      if (Distance2(x, y) <= kFaceLimit) mask.setPixel(x, y, kBlack);
  return mask;
}

}  // namespace KnobArt
