// Pictures of an X screen for the end-to-end scripts.
//
//   screen_probe grab X Y WIDTH HEIGHT OUT.png   the screen's pixels in that rectangle
//   screen_probe enlarged SMALL.png BIG.png N    exit 0 when BIG is SMALL with every pixel made
//                                                an N x N block; otherwise say how they differ
//   screen_probe find X Y WIDTH HEIGHT PART.png  where PART's pixels lie, all of them, within
//                                                that rectangle of the screen: "X Y" of its
//                                                top-left corner; exit 1 when nowhere
//
// Grabbing needs a display (DISPLAY) and is done at the screen's own pixels: run it without a
// scale factor in the environment.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The screen's pixels in the rectangle argv[2..5]; a null image when it cannot be had whole.
QImage Shot(char** argv) {
  const int x = std::stoi(argv[2]), y = std::stoi(argv[3]);
  const int w = std::stoi(argv[4]), h = std::stoi(argv[5]);
  const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0, x, y, w, h).toImage();
  if (shot.size() == QSize(w, h)) return shot.convertToFormat(QImage::Format_RGB32);
  std::fprintf(stderr, "screen_probe: could not grab %dx%d+%d+%d\n", w, h, x, y);
  return {};
}

int Grab(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QImage shot = Shot(argv);
  return !shot.isNull() && shot.save(QString::fromLocal8Bit(argv[6])) ? 0 : 1;
}

int Find(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QImage shot = Shot(argv);
  const QImage part = QImage(QString::fromLocal8Bit(argv[6])).convertToFormat(QImage::Format_RGB32);
  if (shot.isNull() || part.isNull()) return 2;
  const auto row = [&](int left, int top, int y) {
    return std::memcmp(shot.constScanLine(top + y) + 4 * left, part.constScanLine(y),
                       4 * std::size_t(part.width())) == 0;
  };
  for (int top = 0; top + part.height() <= shot.height(); ++top)
    for (int left = 0; left + part.width() <= shot.width(); ++left) {
      int y = 0;
      while (y < part.height() && row(left, top, y)) ++y;
      if (y < part.height()) continue;
      std::printf("%d %d\n", std::stoi(argv[2]) + left, std::stoi(argv[3]) + top);
      return 0;
    }
  return 1;
}

int Enlarged(char** argv) {
  const QImage small =
      QImage(QString::fromLocal8Bit(argv[2])).convertToFormat(QImage::Format_RGB32);
  const QImage big = QImage(QString::fromLocal8Bit(argv[3])).convertToFormat(QImage::Format_RGB32);
  const int n = std::stoi(argv[4]);
  if (small.isNull() || big.size() != small.size() * n) {
    std::fprintf(stderr, "screen_probe: %dx%d is not %d times %dx%d\n", big.width(), big.height(),
                 n, small.width(), small.height());
    return 1;
  }
  int differing = 0;
  for (int y = 0; y < big.height(); ++y)
    for (int x = 0; x < big.width(); ++x) differing += big.pixel(x, y) != small.pixel(x / n, y / n);
  if (differing == 0) return 0;
  std::fprintf(stderr, "screen_probe: %d of %d pixels are not the enlarged picture's\n", differing,
               big.width() * big.height());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "grab") == 0) return Grab(argc, argv);
  if (argc == 5 && std::strcmp(argv[1], "enlarged") == 0) return Enlarged(argv);
  if (argc == 7 && std::strcmp(argv[1], "find") == 0) return Find(argc, argv);
  std::fprintf(stderr,
               "usage: screen_probe grab X Y WIDTH HEIGHT OUT.png\n"
               "       screen_probe enlarged SMALL.png BIG.png N\n"
               "       screen_probe find X Y WIDTH HEIGHT PART.png\n");
  return 2;
}
