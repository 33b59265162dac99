#include "SkinSource.h"

TSkinSource::TSkinSource(QObject* parent) : QObject(parent) {}

void TSkinSource::SetBitmap(const QImage& value) {
  if (value.isNull()) {
    FBitmap = QImage();
    return;
  }
  FBitmap = value.convertToFormat(QImage::Format_RGB32);
}

bool TSkinSource::LoadBitmap(const QString& path) {
  QImage picture;
  if (!picture.load(path)) return false;
  SetBitmap(picture);
  return true;
}
