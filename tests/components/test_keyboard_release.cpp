// A note played on the keyboard ends on the channel and port it started on, and never outlives
// its key: hiding, destroying, re-porting the keyboard or quitting the application ends it.
#include <QMetaObject>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <ostream>

#include "ComponentTestSupport.h"
#include "RecordingMidiBackend.h"
#include "ShowcaseForm.h"

namespace {

constexpr QPoint kCSharp{14, 10};  // note 1
constexpr QPoint kD{20, 10};       // note 2

struct TEnding {
  const char* Name;
  // Done while C# is held on channel 16 and the channel has just been set to 3. Returns where the
  // button is then released; nothing when the keyboard is gone.
  std::function<std::optional<QPoint>(TKeyboardHost&, TMidiOut& other)> Action;
  TBytes Sent;  // on the recording port, from the press on
};

void PrintTo(const TEnding& ending, std::ostream* out) { *out << ending.Name; }

class HeldNote : public testing::TestWithParam<TEnding> {
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

TEST_P(HeldNote, EndsOnItsOwnChannelAndPort) {
  TMidiOut other;
  Host.Keyboard->SetMidiChannel(16);
  Host.Press(kCSharp);
  Host.Keyboard->SetMidiChannel(3);
  if (const std::optional<QPoint> at = GetParam().Action(Host, other)) {
    Host.Release(*at);
    EXPECT_EQ(Host.Keyboard->PressedKey(), -1);
  }
  const TBytes& expected = GetParam().Sent;
  QTest::qWaitFor([&] { return Midi->Bytes().size() >= expected.size(); }, 5000);
  EXPECT_EQ(Midi->Bytes(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, HeldNote,
    testing::Values(TEnding{"Released",
                            [](TKeyboardHost&, TMidiOut&) -> std::optional<QPoint> {
                              return kCSharp;
                            },
                            {0x9F, 1, 54, 0x9F, 1, 0}},
                    TEnding{"MovedToTheNextKey",
                            [](TKeyboardHost& host, TMidiOut&) -> std::optional<QPoint> {
                              host.Move(kD);
                              return kD;
                            },
                            {0x9F, 1, 54, 0x9F, 1, 0, 0x92, 2, 54, 0x92, 2, 0}},
                    TEnding{"KeyboardHidden",
                            [](TKeyboardHost& host, TMidiOut&) -> std::optional<QPoint> {
                              host.Keyboard->hide();
                              return kCSharp;
                            },
                            {0x9F, 1, 54, 0x9F, 1, 0}},
                    TEnding{"WindowHidden",
                            [](TKeyboardHost& host, TMidiOut&) -> std::optional<QPoint> {
                              host.Window().hide();
                              return kCSharp;
                            },
                            {0x9F, 1, 54, 0x9F, 1, 0}},
                    TEnding{"ApplicationQuits",
                            [](TKeyboardHost&, TMidiOut&) -> std::optional<QPoint> {
                              EXPECT_TRUE(QMetaObject::invokeMethod(QCoreApplication::instance(),
                                                                    "aboutToQuit"));
                              return kCSharp;
                            },
                            {0x9F, 1, 54, 0x9F, 1, 0}},
                    TEnding{"PortChanged",
                            [](TKeyboardHost& host, TMidiOut& other) -> std::optional<QPoint> {
                              host.Keyboard->SetMidiOut(&other);
                              EXPECT_EQ(host.Keyboard->PressedKey(), -1);
                              return kCSharp;
                            },
                            {0x9F, 1, 54, 0x9F, 1, 0}},
                    TEnding{"KeyboardDestroyed",
                            [](TKeyboardHost& host, TMidiOut&) -> std::optional<QPoint> {
                              delete host.Keyboard;
                              host.Keyboard = nullptr;
                              return std::nullopt;
                            },
                            {0x9F, 1, 54, 0x9F, 1, 0}}),
    [](const testing::TestParamInfo<TEnding>& info) { return std::string(info.param.Name); });

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
  QTest::qWaitFor([&] { return midi->Bytes().size() >= expected.size(); }, 5000);
  EXPECT_EQ(midi->Bytes(), expected);
}

}  // namespace
