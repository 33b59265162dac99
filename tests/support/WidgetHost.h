#pragma once

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

// A shown top-level window holding controls at one place (client pixels of the window). Mouse input
// goes through the window system layer (the same path as a real mouse: implicit grab, enter and
// leave), and what is "on the screen" is read from the window's backing store, not re-rendered.
class Host {
public:
  explicit Host(QPoint place = {100, 80}, QSize size = {300, 220}) : FPlace(place) {
    FWindow.resize(size);
  }

  template <typename T>
  T* Add() {
    auto* control = new T(&FWindow);
    control->move(FPlace);
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
  void Press(Qt::MouseButton b, QPoint at) { QTest::mousePress(Handle(), b, {}, FPlace + at); }
  void Release(Qt::MouseButton b, QPoint at) { QTest::mouseRelease(Handle(), b, {}, FPlace + at); }
  void Move(QPoint at) { QTest::mouseMove(Handle(), FPlace + at); }
  void DoubleClick(Qt::MouseButton b, QPoint at) {
    QTest::mouseDClick(Handle(), b, {}, FPlace + at);
  }

  // A mouse event with a timestamp of the caller's choosing, so that two presses close together
  // form a double click (QTest's own helpers space their releases apart to avoid that).
  void Raw(QEvent::Type type, QPoint at, Qt::MouseButtons state, Qt::MouseButton button,
           int timestamp) {
    const QPoint local = FPlace + at;
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
  const QPoint FPlace;
  QWidget FWindow;
};
