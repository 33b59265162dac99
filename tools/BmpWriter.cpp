#include "BmpWriter.h"

#include <QSaveFile>

#include <cstdint>

namespace {

constexpr int kFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;
constexpr int kPixelDataOffset = kFileHeaderSize + kInfoHeaderSize;
constexpr int kBitsPerPixel = 24;

void PutU16(QByteArray& out, std::uint16_t v) {
  out.append(static_cast<char>(v & 0xFF));
  out.append(static_cast<char>((v >> 8) & 0xFF));
}

void PutU32(QByteArray& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out.append(static_cast<char>((v >> shift) & 0xFF));
}

}  // namespace

QByteArray EncodeBmp24(const QImage& picture) {
  if (picture.isNull())
    return {};
  const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
  const int width = rgb.width();
  const int height = rgb.height();
  const int rowBytes = (width * 3 + 3) / 4 * 4;
  const std::uint32_t pixelBytes = static_cast<std::uint32_t>(rowBytes) * static_cast<std::uint32_t>(height);
  const std::uint32_t fileSize = kPixelDataOffset + pixelBytes;

  QByteArray out;
  out.reserve(static_cast<qsizetype>(fileSize));
  out.append("BM", 2);
  PutU32(out, fileSize);
  PutU32(out, 0);  // two reserved 16-bit words
  PutU32(out, kPixelDataOffset);

  PutU32(out, kInfoHeaderSize);
  PutU32(out, static_cast<std::uint32_t>(width));
  PutU32(out, static_cast<std::uint32_t>(height));  // positive: rows stored bottom-up
  PutU16(out, 1);                                   // planes
  PutU16(out, kBitsPerPixel);
  PutU32(out, 0);  // no compression
  PutU32(out, pixelBytes);
  PutU32(out, 0);  // horizontal resolution
  PutU32(out, 0);  // vertical resolution
  PutU32(out, 0);  // colours used
  PutU32(out, 0);  // important colours

  const int padding = rowBytes - width * 3;
  for (int y = height - 1; y >= 0; --y) {
    const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    for (int x = 0; x < width; ++x) {
      out.append(static_cast<char>(qBlue(line[x])));
      out.append(static_cast<char>(qGreen(line[x])));
      out.append(static_cast<char>(qRed(line[x])));
    }
    out.append(padding, '\0');
  }
  return out;
}

bool WriteBmp24(const QImage& picture, const QString& path, QString* error) {
  const QByteArray bytes = EncodeBmp24(picture);
  if (bytes.isEmpty()) {
    if (error)
      *error = QStringLiteral("nothing to write: the picture is empty");
    return false;
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    if (error)
      *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
  }
  return true;
}
