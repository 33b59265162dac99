// Draws the main window's two skin sheets and writes them as 24-bit BMP files:
//
//   make_skins [--font FILE] OUTPUT_DIR
//
// writes OUTPUT_DIR/SoundSelection.bmp and OUTPUT_DIR/KnobStrip.bmp. The labels use the given
// TrueType font (by default DejaVu Sans Bold from Debian's fonts-dejavu-core). The files in
// resources/skins/ are made by this program; `cmake --build build --target regenerate_skins`
// remakes them in the source tree.

#include "BmpWriter.h"
#include "SkinArt.h"

#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QStringList>

#include <cstdio>

namespace {

constexpr const char* kDefaultFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

int Fail(const QString& message) {
  std::fprintf(stderr, "make_skins: %s\n", qPrintable(message));
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Fonts need a GUI application, but nothing is shown.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);

  QStringList args = app.arguments().mid(1);
  QString fontFile = QString::fromLatin1(kDefaultFont);
  if (args.size() >= 2 && args[0] == QLatin1String("--font")) {
    fontFile = args[1];
    args = args.mid(2);
  }
  if (args.size() != 1) return Fail(QStringLiteral("usage: make_skins [--font FILE] OUTPUT_DIR"));
  const QDir out(args[0]);
  if (!out.exists()) return Fail(QStringLiteral("output folder %1 does not exist").arg(args[0]));

  const int fontId = QFontDatabase::addApplicationFont(fontFile);
  const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
  if (fontId < 0 || families.isEmpty())
    return Fail(
        QStringLiteral("cannot load the label font %1 (install fonts-dejavu-core)").arg(fontFile));
  QFont labelFont(families.first());
  labelFont.setPixelSize(64);  // outlines are scaled down to the label size afterwards
  labelFont.setBold(fontFile.contains(QLatin1String("Bold")));

  QString error;
  if (!WriteBmp24(SkinArt::PaintSoundSelectionSheet(labelFont),
                  out.filePath(QStringLiteral("SoundSelection.bmp")), &error))
    return Fail(error);
  if (!WriteBmp24(SkinArt::PaintKnobStrip(), out.filePath(QStringLiteral("KnobStrip.bmp")), &error))
    return Fail(error);
  return 0;
}
