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
  for (int shift = 0; shift < 32; shift += 8) out.append(static_cast<char>((v >> shift) & 0xFF));
}

void PutHeaders(QByteArray& out, int width, int height, std::uint16_t bitsPerPixel,
                std::uint32_t colours, std::uint32_t pixelBytes) {
  const std::uint32_t pixelOffset = kPixelDataOffset + 4 * colours;
  out.append("BM", 2);
  PutU32(out, pixelOffset + pixelBytes);
  PutU32(out, 0);  // two reserved 16-bit words
  PutU32(out, pixelOffset);
  PutU32(out, kInfoHeaderSize);
  PutU32(out, static_cast<std::uint32_t>(width));
  PutU32(out, static_cast<std::uint32_t>(height));  // positive: rows stored bottom-up
  PutU16(out, 1);                                   // planes
  PutU16(out, bitsPerPixel);
  PutU32(out, 0);  // no compression
  PutU32(out, pixelBytes);
  PutU32(out, 0);        // horizontal resolution
  PutU32(out, 0);        // vertical resolution
  PutU32(out, colours);  // colours used
  PutU32(out, 0);        // important colours: all
}

}  // namespace

QByteArray EncodeBmp24(const QImage& picture) {
  if (picture.isNull()) return {};
  const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
  const int width = rgb.width();
  const int height = rgb.height();
  const int rowBytes = (width * 3 + 3) / 4 * 4;
  const std::uint32_t pixelBytes =
      static_cast<std::uint32_t>(rowBytes) * static_cast<std::uint32_t>(height);

  QByteArray out;
  out.reserve(static_cast<qsizetype>(kPixelDataOffset + pixelBytes));
  PutHeaders(out, width, height, kBitsPerPixel, 0, pixelBytes);

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

namespace {

bool WriteBytes(const QByteArray& bytes, const QString& path, QString* error) {
  if (bytes.isEmpty()) {
    if (error)
      *error = QStringLiteral("nothing to write: the picture is empty or not a 16-colour picture");
    return false;
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    if (error) *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
  }
  return true;
}

}  // namespace

bool WriteBmp24(const QImage& picture, const QString& path, QString* error) {
  return WriteBytes(EncodeBmp24(picture), path, error);
}

QByteArray EncodeBmp4(const QImage& picture) {
  constexpr int kColours = 16;
  if (picture.isNull() || picture.format() != QImage::Format_Indexed8 ||
      picture.colorCount() > kColours)
    return {};
  const int width = picture.width();
  const int height = picture.height();
  const int rowBytes = ((width + 1) / 2 + 3) / 4 * 4;
  QByteArray out;
  PutHeaders(out, width, height, 4, kColours,
             static_cast<std::uint32_t>(rowBytes) * static_cast<std::uint32_t>(height));
  const QList<QRgb> table = picture.colorTable();
  for (int i = 0; i < kColours; ++i) {
    const QRgb c = i < table.size() ? table[i] : 0;
    out.append(static_cast<char>(qBlue(c)));
    out.append(static_cast<char>(qGreen(c)));
    out.append(static_cast<char>(qRed(c)));
    out.append('\0');
  }
  for (int y = height - 1; y >= 0; --y) {
    const uchar* line = picture.constScanLine(y);
    QByteArray row(rowBytes, '\0');
    for (int x = 0; x < width; ++x) {
      if (line[x] >= kColours) return {};
      row[x / 2] = static_cast<char>(row[x / 2] | (x % 2 == 0 ? line[x] << 4 : line[x]));
    }
    out.append(row);
  }
  return out;
}

bool WriteBmp4(const QImage& picture, const QString& path, QString* error) {
  return WriteBytes(EncodeBmp4(picture), path, error);
}
