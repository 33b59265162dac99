#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "MidiKeyboard.h"
#include "RecordingMidiBackend.h"
#include "WidgetHost.h"

// A shown window holding a keyboard, played through the window system layer as a real mouse would
// (implicit grab included). OnScreen reads the window's backing store.
class TKeyboardHost : public Host {
public:
  TKeyboardHost() : Host({20, 10}, {900, 140}) {
    Keyboard = Add<TMidiKeyboard>();
    Keyboard->resize(Keyboard->sizeHint());
    Show();
  }
  // At client pixels of the keyboard.
  void Press(QPoint p, Qt::MouseButton b = Qt::LeftButton) { Host::Press(b, p); }
  void Release(QPoint p, Qt::MouseButton b = Qt::LeftButton) { Host::Release(b, p); }
  QImage OnScreen() { return Host::OnScreen(Keyboard).convertToFormat(QImage::Format_RGB32); }

  TMidiKeyboard* Keyboard = nullptr;
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
