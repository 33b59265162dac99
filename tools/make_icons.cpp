// Draws the program's icon and writes it in the layout of the hicolor icon theme:
//
//   make_icons OUTPUT_DIR
//
// writes OUTPUT_DIR/scalable/apps/NAME.svg and OUTPUT_DIR/SIZExSIZE/apps/NAME.png for each size
// below. Both come from one list of shapes on a 256-unit square, so the picture and the drawing
// agree. The files in data/icons/ are made by this program;
// `cmake --build build --target regenerate_icons` remakes them in the source tree.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr char kIconName[] = "org.halvorine.Halvorine";
constexpr std::array<int, 7> kSizes = {16, 22, 32, 48, 64, 128, 256};
constexpr double kGrid = 256.0;

struct TShape {
  enum TKind { Rect, Circle, Line } Kind;
  double X1, Y1, X2, Y2;  // Rect: corners; Circle: centre and radius in X2; Line: ends
  double Radius;          // Rect: corner radius
  const char* Fill;       // "none" for none
  const char* Stroke;     // "none" for none
  double StrokeWidth;
};

// The panel's grey face with a dark knob whose amber pointer stands at two o'clock, over a row of
// four pads, the first one lit.
std::vector<TShape> Shapes() {
  constexpr double angle = 45.0 * std::numbers::pi / 180.0;
  constexpr double cx = 128, cy = 108, r = 66;
  std::vector<TShape> shapes = {
      {TShape::Rect, 20, 20, 236, 236, 44, "#d4d0c8", "#4a4640", 10},
      {TShape::Circle, cx, cy, r + 12, 0, 0, "#bdb8ae", "none", 0},
      {TShape::Circle, cx, cy, r, 0, 0, "#2e2e34", "#17171a", 6},
      {TShape::Line, cx + 0.2 * r * std::sin(angle), cy - 0.2 * r * std::cos(angle),
       cx + 0.8 * r * std::sin(angle), cy - 0.8 * r * std::cos(angle), 0, "none", "#f2b134", 16},
  };
  for (int i = 0; i < 4; ++i) {
    const double x = 44 + i * 44;
    shapes.push_back(
        {TShape::Rect, x, 196, x + 36, 220, 6, i == 0 ? "#f2b134" : "#8c8780", "#4a4640", 4});
  }
  return shapes;
}

QString Svg(const std::vector<TShape>& shapes) {
  QString svg = QStringLiteral(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
      "viewBox=\"0 0 256 256\">\n");
  const auto n = [](double v) { return QString::number(v, 'g', 6); };
  for (const TShape& s : shapes) {
    const QString paint =
        QStringLiteral("fill=\"%1\" stroke=\"%2\" stroke-width=\"%3\"")
            .arg(QLatin1String(s.Fill), QLatin1String(s.Stroke), n(s.StrokeWidth));
    switch (s.Kind) {
      case TShape::Rect:
        svg +=
            QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\" %6/>\n")
                .arg(n(s.X1), n(s.Y1), n(s.X2 - s.X1), n(s.Y2 - s.Y1), n(s.Radius), paint);
        break;
      case TShape::Circle:
        svg += QStringLiteral("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" %4/>\n")
                   .arg(n(s.X1), n(s.Y1), n(s.X2), paint);
        break;
      case TShape::Line:
        svg +=
            QStringLiteral(
                "  <line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" %5 stroke-linecap=\"round\"/>\n")
                .arg(n(s.X1), n(s.Y1), n(s.X2), n(s.Y2), paint);
        break;
    }
  }
  return svg + QStringLiteral("</svg>\n");
}

QImage Picture(const std::vector<TShape>& shapes, int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / kGrid, size / kGrid);
  for (const TShape& s : shapes) {
    const QString fill = QLatin1String(s.Fill);
    const QString stroke = QLatin1String(s.Stroke);
    painter.setBrush(fill == QLatin1String("none") ? QBrush() : QBrush(QColor(fill)));
    painter.setPen(stroke == QLatin1String("none")
                       ? QPen(Qt::NoPen)
                       : QPen(QColor(stroke), s.StrokeWidth, Qt::SolidLine, Qt::RoundCap));
    switch (s.Kind) {
      case TShape::Rect:
        painter.drawRoundedRect(QRectF(s.X1, s.Y1, s.X2 - s.X1, s.Y2 - s.Y1), s.Radius, s.Radius);
        break;
      case TShape::Circle:
        painter.drawEllipse(QPointF(s.X1, s.Y1), s.X2, s.X2);
        break;
      case TShape::Line:
        painter.drawLine(QPointF(s.X1, s.Y1), QPointF(s.X2, s.Y2));
        break;
    }
  }
  return image;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icons OUTPUT_DIR\n");
    return 1;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  const std::vector<TShape> shapes = Shapes();
  const QString name = QLatin1String(kIconName);

  const QString scalable = QStringLiteral("scalable/apps");
  QFile svg(out.filePath(scalable + QLatin1Char('/') + name + QStringLiteral(".svg")));
  if (!out.mkpath(scalable) || !svg.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      svg.write(Svg(shapes).toUtf8()) < 0) {
    std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(svg.fileName()));
    return 1;
  }
  for (const int size : kSizes) {
    const QString folder = QStringLiteral("%1x%1/apps").arg(size);
    const QString path = out.filePath(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
    if (!out.mkpath(folder) || !Picture(shapes, size).save(path, "PNG")) {
      std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
