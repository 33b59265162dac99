// A note played on the keyboard ends on the channel and port it started on, and never outlives
// its key: hiding, destroying, re-porting the keyboard or quitting the application ends it.
#include <QMetaObject>

#include <gtest/gtest.h>

#include <memory>

#include "ComponentTestSupport.h"
#include "Eventually.h"
#include "ShowcaseForm.h"

namespace {

constexpr QPoint kCSharp{14, 10};  // note 1
constexpr QPoint kD{20, 10};       // note 2

// What happens while C# is held on channel 16 and the channel has just been set to 3.
enum class TEnding {
  Released,
  MovedToTheNextKey,
  KeyboardHidden,
  WindowHidden,
  ApplicationQuits,
  PortChanged,
  KeyboardDestroyed
};

class HeldNote : public KeyboardOnPort, public testing::WithParamInterface<TEnding> {};

TEST_P(HeldNote, EndsOnItsOwnChannelAndPort) {
  TMidiOut other;
  Host.Keyboard->SetMidiChannel(16);
  Host.Press(kCSharp);
  Host.Keyboard->SetMidiChannel(3);
  QPoint release = kCSharp;
  switch (GetParam()) {
    case TEnding::Released:
      break;
    case TEnding::MovedToTheNextKey:
      Host.Move(kD);
      release = kD;
      break;
    case TEnding::KeyboardHidden:
      Host.Keyboard->hide();
      break;
    case TEnding::WindowHidden:
      Host.Window().hide();
      break;
    case TEnding::ApplicationQuits:
      EXPECT_TRUE(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit"));
      break;
    case TEnding::PortChanged:
      Host.Keyboard->SetMidiOut(&other);
      EXPECT_EQ(Host.Keyboard->PressedKey(), -1);
      break;
    case TEnding::KeyboardDestroyed:
      delete Host.Keyboard;
      Host.Keyboard = nullptr;
      break;
  }
  // On the recording port, from the press on: the note ends on the channel and port it began on,
  // and an ending other than the release's own ends it before the button comes up.
  const TBytes played{0x9F, 1, 54, 0x9F, 1, 0};
  const auto sent = [&](std::size_t count) {
    EXPECT_TRUE(halvorine_test::Eventually([&] { return Midi->Bytes().size() >= count; }));
    return Midi->Bytes();
  };
  if (GetParam() != TEnding::Released && GetParam() != TEnding::MovedToTheNextKey) {
    EXPECT_EQ(sent(played.size()), played);
  }
  if (Host.Keyboard) {
    Host.Release(release);
    EXPECT_EQ(Host.Keyboard->PressedKey(), -1);
  }
  TBytes expected = played;
  if (GetParam() == TEnding::MovedToTheNextKey)
    expected.insert(expected.end(), {0x92, 2, 54, 0x92, 2, 0});
  // A marker after the case: once it is in, so is anything else sent before it.
  Port.SendControlChange(15, 0x77, 0x7F);
  expected.insert(expected.end(), {0xBF, 0x77, 0x7F});
  EXPECT_EQ(sent(expected.size()), expected);
}

const char* const kEndings[] = {"Released",         "MovedToTheNextKey", "KeyboardHidden",
                                "WindowHidden",     "ApplicationQuits",  "PortChanged",
                                "KeyboardDestroyed"};

INSTANTIATE_TEST_SUITE_P(Endings, HeldNote,
                         testing::Values(TEnding::Released, TEnding::MovedToTheNextKey,
                                         TEnding::KeyboardHidden, TEnding::WindowHidden,
                                         TEnding::ApplicationQuits, TEnding::PortChanged,
                                         TEnding::KeyboardDestroyed),
                         [](const auto& info) { return std::string(kEndings[int(info.param)]); });

TEST(ShowcaseClosing, EndsTheHeldNoteOnItsPortBeforeThePortGoes) {
  TRecordingMidiService midi{{"Only Out"}};
  auto form = std::make_unique<TShowcaseForm>();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  form->OpenPort();
  ASSERT_TRUE(form->Port()->IsOpen());
  QTest::mousePress(form->windowHandle(), Qt::LeftButton, {},
                    form->Keyboard()->mapTo(form.get(), kCSharp));
  // Destroyed with the window still up and the button still down.
  form.reset();
  const TBytes expected{0x90, 1, 54, 0x90, 1, 0};
  EXPECT_TRUE(halvorine_test::Eventually([&] { return midi->Bytes().size() >= expected.size(); }));
  EXPECT_EQ(midi->Bytes(), expected);
}

}  // namespace
