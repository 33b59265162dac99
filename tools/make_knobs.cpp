// Draws the bitmap knob's three pictures and writes them as 4-bit BMP files:
//
//   make_knobs OUTPUT_DIR
//
// writes OUTPUT_DIR/KNOBNORMAL.bmp, KNOBFOCUS.bmp and KNOBMASK.bmp. The files in
// resources/knobs/ are made by this program; `cmake --build build --target regenerate_knobs`
// remakes them in the source tree.

#include "BmpWriter.h"
#include "KnobArt.h"

#include <QDir>
#include <QStringList>

#include <cstdio>
#include <utility>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_knobs OUTPUT_DIR\n");
    return 1;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.exists()) {
    std::fprintf(stderr, "make_knobs: output folder %s does not exist\n", argv[1]);
    return 1;
  }
  const std::pair<const char*, QImage> pictures[] = {{"KNOBNORMAL.bmp", KnobArt::PaintKnob(false)},
                                                     {"KNOBFOCUS.bmp", KnobArt::PaintKnob(true)},
                                                     {"KNOBMASK.bmp", KnobArt::PaintMask()}};
  for (const auto& [name, picture] : pictures) {
    QString error;
    if (!WriteBmp4(picture, out.filePath(QLatin1String(name)), &error)) {
      std::fprintf(stderr, "make_knobs: %s\n", qPrintable(error));
      return 1;
    }
  }
  return 0;
}
