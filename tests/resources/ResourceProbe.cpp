#include "ResourceProbe.h"

#include <QFile>

QByteArray ReadThroughProbe(const char* path) {
  QFile file(QString::fromLatin1(path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}
