#pragma once

#include <QImage>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "SkinKnob.h"
#include "WidgetHost.h"

// A sheet whose every pixel names its own place: red = x mod 256, green = y, blue = x div 256.
// Reading one pixel of a shown frame tells which part of the sheet was copied.
inline QImage CoordinateSheet(int width, int height) {
  QImage sheet(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) sheet.setPixel(x, y, qRgb(x & 0xFF, y & 0xFF, x >> 8));
  return sheet;
}

inline QPoint SheetPlace(QRgb pixel) { return {qRed(pixel) + 256 * qBlue(pixel), qGreen(pixel)}; }

// Counts the events of one type that reach a widget.
class EventCounter : public QObject {
public:
  EventCounter(QWidget* w, QEvent::Type type) : FType(type) { w->installEventFilter(this); }
  int Count = 0;

protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == FType) ++Count;
    return false;
  }

private:
  QEvent::Type FType;
};

// A shown 22 x 22 knob on a coordinate strip of 67 frames; Changes collects the positions its
// OnChange events report.
class KnobOnStrip : public ::testing::Test {
protected:
  KnobOnStrip() {
    Source.SetBitmap(CoordinateSheet(1474, 22));
    Knob = H.Add<TSkinKnob>();
    Knob->resize(22, 22);
    Knob->SetSkinSource(&Source);
    Knob->SetGlyphColCount(67);
    Knob->OnChange = [this](QObject*) { Changes.push_back(Knob->GetPosition()); };
  }

  TSkinSource Source;
  Host H;
  TSkinKnob* Knob = nullptr;
  std::vector<int> Changes;
};
