#pragma once

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <vector>

#include "MidiKeyboard.h"
#include "RecordingMidiBackend.h"

// A shown window holding a keyboard at a fixed place, played through the window system layer as
// a real mouse would (implicit grab included). OnScreen reads the window's backing store.
class TKeyboardHost {
public:
  static constexpr QPoint kPlace{20, 10};

  TKeyboardHost() {
    FWindow.resize(900, 140);
    Keyboard = new TMidiKeyboard(&FWindow);
    Keyboard->move(kPlace);
    Keyboard->resize(Keyboard->sizeHint());
    FWindow.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&FWindow));
    QCoreApplication::processEvents();
  }

  // Client pixels of the keyboard, as window points.
  static QPoint At(QPoint p) { return kPlace + p; }
  void Press(QPoint p, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mousePress(Handle(), b, {}, At(p));
  }
  void Move(QPoint p) { QTest::mouseMove(Handle(), At(p)); }
  void Release(QPoint p, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mouseRelease(Handle(), b, {}, At(p));
  }

  QImage OnScreen() {
    const QRect r = Keyboard->geometry();
    return FWindow.screen()
        ->grabWindow(FWindow.winId(), r.x(), r.y(), r.width(), r.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  }

  QWindow* Handle() { return FWindow.windowHandle(); }
  QWidget& Window() { return FWindow; }

  TMidiKeyboard* Keyboard = nullptr;

private:
  QWidget FWindow;
};

using TBytes = std::vector<std::uint8_t>;

// A shown keyboard on an open port of the recording backend.
class KeyboardOnPort : public testing::Test {
protected:
  void SetUp() override {
    Port.SetDeviceID(0);
    ASSERT_TRUE(Port.Open());
    Host.Keyboard->SetMidiOut(&Port);
  }

  TRecordingMidiService Midi{{"Recording Out"}};
  TMidiOut Port;
  TKeyboardHost Host;
};
