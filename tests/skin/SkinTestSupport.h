#pragma once

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "SkinKnob.h"

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

// A shown top-level window holding one control at a fixed place. Mouse input goes through the
// window system layer (the same path as a real mouse: implicit grab, enter and leave), and what
// is "on the screen" is read from the window's backing store, not re-rendered.
class Host {
public:
  static constexpr QPoint kControlPlace{100, 80};

  Host() { FWindow.resize(300, 220); }

  template <typename T>
  T* Add() {
    auto* control = new T(&FWindow);
    control->move(kControlPlace);
    return control;
  }

  void Show() {
    FWindow.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&FWindow));
    // Let the first paint and any pending enter events settle.
    QCoreApplication::processEvents();
  }

  QWindow* Handle() { return FWindow.windowHandle(); }

  // Mouse input at points given in the control's client pixels.
  void Press(Qt::MouseButton b, QPoint at) {
    QTest::mousePress(Handle(), b, {}, kControlPlace + at);
  }
  void Release(Qt::MouseButton b, QPoint at) {
    QTest::mouseRelease(Handle(), b, {}, kControlPlace + at);
  }
  void Move(QPoint at) { QTest::mouseMove(Handle(), kControlPlace + at); }
  void DoubleClick(Qt::MouseButton b, QPoint at) {
    QTest::mouseDClick(Handle(), b, {}, kControlPlace + at);
  }

  // A mouse event with a timestamp of the caller's choosing, so that two presses close together
  // form a double click (QTest's own helpers space their releases apart to avoid that).
  void Raw(QEvent::Type type, QPoint at, Qt::MouseButtons state, Qt::MouseButton button,
           int timestamp) {
    const QPoint local = kControlPlace + at;
    qt_handleMouseEvent(Handle(), local, Handle()->mapToGlobal(local), state, button, type, {},
                        timestamp);
    QCoreApplication::processEvents();
  }

  // The pixels of `control` as they stand in the window's backing store right now.
  QImage OnScreen(const QWidget* control) {
    const QRect r = control->geometry();
    return FWindow.screen()
        ->grabWindow(FWindow.winId(), r.x(), r.y(), r.width(), r.height())
        .toImage();
  }

  QWidget& Window() { return FWindow; }

private:
  QWidget FWindow;
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
