#pragma once

#include <QImage>
#include <QObject>
#include <QString>

// Holds one skin: a sheet of equally sized frames in a grid, shared by any number of skinned
// controls. The source owns its picture; controls refer to the source without owning it, and the
// source keeps no list of them. A control shows a new picture at its next repaint.
class TSkinSource : public QObject {
  Q_OBJECT
  Q_PROPERTY(int Tag READ GetTag WRITE SetTag)
  Q_PROPERTY(QImage Bitmap READ GetBitmap WRITE SetBitmap)

public:
  explicit TSkinSource(QObject* parent = nullptr);

  // The sheet, always in a 32-bit opaque format (empty until a picture is set). Painting copies
  // straight from it.
  const QImage& GetBitmap() const { return FBitmap; }

  // Copies the picture into the source's own sheet. The argument stays the caller's; the sheet is
  // converted once here so that painting never converts.
  void SetBitmap(const QImage& value);

  // Loads the sheet from a file or a resource path (":/skins/..."). On failure the sheet is left
  // as it was and false is returned.
  bool LoadBitmap(const QString& path);

  int GetTag() const { return FTag; }
  void SetTag(int value) { FTag = value; }

private:
  QImage FBitmap;
  int FTag = 0;
};
