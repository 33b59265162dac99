// The on-screen keyboard: its key table and hit test as pure functions, then the widget played with
// Qt mouse events through a port on the recording MIDI backend, and the pixels it shows.
#include <QPaintEvent>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "ComponentTestSupport.h"
#include "MidiKeyboard.h"

namespace {

constexpr QRgb kBlack = 0xFF000000, kWhite = 0xFFFFFFFF, kSilver = 0xFFC0C0C0, kGrey = 0xFF808080;
constexpr QRgb kBackground = 0xFF2060A0;

TEST(KeyTable, FirstOctaveLastKeyAndHitTestWithTheDefaults) {
  const std::vector<TKeyInfo> keys = BuildKeyTable(0, 127, TKeyGeometry{});
  ASSERT_EQ(keys.size(), 128u);
  const TKeyInfo octave[13] = {
      {0, 5, 15, kkIvory, false, true},    {1, 13, 17, kkEbony, false, false},
      {2, 16, 26, kkIvory, true, true},    {3, 24, 28, kkEbony, false, false},
      {4, 27, 37, kkIvory, true, false},   {5, 38, 48, kkIvory, false, true},
      {6, 46, 50, kkEbony, false, false},  {7, 49, 59, kkIvory, true, true},
      {8, 57, 61, kkEbony, false, false},  {9, 60, 70, kkIvory, true, true},
      {10, 68, 72, kkEbony, false, false}, {11, 71, 81, kkIvory, true, false},
      {12, 82, 92, kkIvory, false, true}};
  for (int i = 0; i < 13; ++i) EXPECT_EQ(keys[i], octave[i]) << "key " << i;
  EXPECT_EQ(keys[127], (TKeyInfo{127, 819, 829, kkIvory, true, true}));
  EXPECT_EQ(
      std::count_if(keys.begin(), keys.end(), [](const TKeyInfo& k) { return k.Kind == kkIvory; }),
      75);
  // Every case of the hit test.
  struct Case {
    int X, Y, Key;
  };
  // C sharp in the upper band, C below the black keys; the black key's drawn extra column is D's;
  // row EbonyHeight still goes to the black key and row IvoryHeight still counts; the left
  // margin; Y is not tested against 0; the last key and past it.
  const Case cases[] = {{14, 10, 1}, {14, 40, 0},    {18, 10, 2},   {14, 35, 1},   {14, 36, 0},
                        {10, 60, 0}, {10, 61, -1},   {3, 40, -1},   {4, 10, -1},   {5, 10, 0},
                        {14, -7, 1}, {829, 40, 127}, {830, 40, -1}, {2000, 10, -1}};
  for (const Case& c : cases)
    EXPECT_EQ(KeyAtPoint(keys, TKeyGeometry{}, c.X, c.Y), c.Key) << c.X << ", " << c.Y;
}

// For any sizes, white key w starts at 5 + w * IvoryWidth and the black key after it h + 1 columns
// before the next white key.
class KeyLayout : public testing::TestWithParam<TKeyGeometry> {};

TEST_P(KeyLayout, WhiteKeysAbutAndBlackKeysSitBeforeTheNextWhiteKey) {
  const TKeyGeometry g = GetParam();
  const std::vector<TKeyInfo> keys = BuildKeyTable(0, 127, g);
  int white = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].Kind == kkIvory) {
      EXPECT_EQ(keys[i].Left, 5 + white * g.IvoryWidth) << i;
      EXPECT_EQ(keys[i].Right, keys[i].Left + g.IvoryWidth - 1) << i;
      ++white;
    } else {
      EXPECT_EQ(keys[i].Left, 5 + white * g.IvoryWidth - (g.Half() + 1)) << i;
      EXPECT_EQ(keys[i].Right, keys[i].Left + g.EbonyWidth - 1) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, KeyLayout,
                         testing::Values(TKeyGeometry{}, TKeyGeometry{8, 50, 14, 80},
                                         TKeyGeometry{1, 10, 3, 20}, TKeyGeometry{0, 0, 0, 0},
                                         TKeyGeometry{-3, 35, 11, 60}));

TEST(BorderFill, FillsTheFourConnectedRegionUpToTheBorderOnly) {
  QImage image(8, 6, QImage::Format_RGB32);
  image.fill(kSilver);
  for (int i = 0; i < 6; ++i) {
    image.setPixel(3, i, kBlack);  // a wall
    image.setPixel(i, 4, kBlack);
  }
  image.setPixel(4, 5, kGrey);   // reached only diagonally from (3, 4)...
  image.setPixel(1, 1, kWhite);  // already of the fill colour: still passed through
  const QRect filled = BorderFloodFill(image, {0, 0}, kWhite, kBlack);
  EXPECT_EQ(filled, QRect(0, 0, 3, 4));
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool inside = x < 3 && y < 4;
      const QRgb expected = inside                        ? kWhite
                            : x == 3 || (y == 4 && x < 6) ? kBlack
                            : x == 4 && y == 5            ? kGrey
                                                          : kSilver;
      EXPECT_EQ(image.pixel(x, y), expected) << x << ", " << y;
    }
  EXPECT_TRUE(BorderFloodFill(image, {3, 0}, kWhite, kBlack).isEmpty()) << "starting on the border";
  EXPECT_TRUE(BorderFloodFill(image, {9, 0}, kWhite, kBlack).isEmpty()) << "starting outside";
}

using KeyboardPlay = KeyboardOnPort;

struct TGesture {
  const char* Name;
  // "p14,10 m20,10 r20,10": 'p' left press, 'm' move, 'r' left release, 'P'/'R' right; client
  // pixels. Every press raises OnMouseDown there, whatever the button.
  const char* Steps;
  TBytes Sent;
  int HeldAfter = -1;
};

class KeyboardGesture : public KeyboardPlay, public testing::WithParamInterface<TGesture> {};

TEST_P(KeyboardGesture, SendsTheNotesOfTheGesture) {
  std::vector<QPoint> downs, pressed;
  Host.Keyboard->OnMouseDown = [&](QObject* sender, Qt::MouseButton, Qt::KeyboardModifiers, int x,
                                   int y) {
    EXPECT_EQ(sender, Host.Keyboard);
    downs.emplace_back(x, y);
  };
  std::istringstream steps(GetParam().Steps);
  char kind = 0, comma = 0;
  QPoint at;
  while (steps >> kind >> at.rx() >> comma >> at.ry()) {
    if (kind == 'p' || kind == 'P') {
      Host.Press(at, kind == 'p' ? Qt::LeftButton : Qt::RightButton);
      pressed.push_back(at);
    }
    if (kind == 'm') Host.Move(at);
    if (kind == 'r' || kind == 'R')
      Host.Release(at, kind == 'r' ? Qt::LeftButton : Qt::RightButton);
  }
  EXPECT_EQ(Midi->Bytes(), GetParam().Sent);
  EXPECT_EQ(Host.Keyboard->PressedKey(), GetParam().HeldAfter);
  EXPECT_EQ(downs, pressed);
}

INSTANTIATE_TEST_SUITE_P(
    Gestures, KeyboardGesture,
    testing::Values(TGesture{"PressAndReleaseCSharp", "p14,10 r14,10", {0x90, 1, 54, 0x90, 1, 0}},
                    TGesture{"HoldingSendsOnlyTheNoteOn", "p14,10 m15,12", {0x90, 1, 54}, 1},
                    TGesture{"GlissandoAcrossThreeKeys",
                             "p6,10 m10,10 m14,10 m17,10 m20,10 r20,10",
                             {0x90, 0, 54, 0x90, 0, 0, 0x90, 1, 54, 0x90, 1, 0, 0x90, 2, 54, 0x90,
                              2, 0}},
                    TGesture{"DragIntoTheMarginAndOutKeepsTheNote",
                             "p10,40 m3,40 m-15,40 m10,90 r-15,40",
                             {0x90, 0, 54, 0x90, 0, 0}},
                    TGesture{"ReleaseOutsideTheControlEndsTheNote",
                             "p100,50 m100,200 r100,200",
                             {0x90, 14, 54, 0x90, 14, 0}},
                    TGesture{"RightButtonPlaysNothing", "P14,10 m20,10 R20,10", {}},
                    TGesture{"PressInTheMarginStaysIdle", "p3,40 m10,40 r10,40", {}},
                    TGesture{"PressBelowTheKeysStaysIdle", "p10,61 m10,40 r10,40", {}},
                    TGesture{"LastKey", "p825,50 r825,50", {0x90, 127, 54, 0x90, 127, 0}}),
    [](const testing::TestParamInfo<TGesture>& info) { return std::string(info.param.Name); });

TEST_F(KeyboardPlay, ChannelsOneToSixteenNotesEndOnTheirOwnAndADestroyedPortIsForgotten) {
  TMidiKeyboard* keyboard = Host.Keyboard;
  EXPECT_EQ(keyboard->GetMidiChannel(), 1);
  const std::pair<int, int> settings[] = {{0, 1}, {17, 1}, {16, 16}, {-5, 16}, {3, 3}, {16, 16}};
  for (const auto& [value, reads] : settings) {
    keyboard->SetMidiChannel(value);
    EXPECT_EQ(keyboard->GetMidiChannel(), reads) << value;
  }
  Host.Press({14, 10});
  keyboard->SetMidiChannel(3);  // a held note still ends on the channel it started on
  Host.Release({14, 10});
  Host.Press({14, 10});
  Host.Release({14, 10});
  EXPECT_EQ(Midi->Bytes(), (TBytes{0x9F, 1, 54, 0x9F, 1, 0, 0x92, 1, 54, 0x92, 1, 0}));
  // A destroyed port is forgotten.
  auto port = std::make_unique<TMidiOut>();
  keyboard->SetMidiOut(port.get());
  port.reset();
  EXPECT_EQ(keyboard->GetMidiOut(), nullptr);
  Host.Press({14, 10});
  Host.Release({14, 10});
  EXPECT_EQ(Midi->Bytes().size(), 12u);
}

// The pixels of the painted keyboard, read from the window's backing store; it has no port.
class KeyboardPixels : public testing::Test {
protected:
  void SetUp() override {
    Host.Keyboard->SetColor(QColor::fromRgb(kBackground));
    QCoreApplication::processEvents();
    Released = Host.OnScreen();
    ASSERT_EQ(Released.size(), QSize(831, Host.Keyboard->sizeHint().height()));
  }

  TKeyboardHost Host;
  QImage Released;
};

TEST_F(KeyboardPixels, ReleasedKeysHaveTheirOutlinesAndShading) {
  const QImage& im = Released;
  // C sharp: columns 13..18 black over rows 0..34 (one column more than its hit area), its grey
  // front line on row 33.
  for (int y = 0; y <= 34; ++y) EXPECT_EQ(im.pixel(18, y), kBlack) << y;
  for (int x = 14; x <= 17; ++x) EXPECT_EQ(im.pixel(x, 33), kGrey) << x;
  EXPECT_EQ(im.pixel(13, 33), kBlack);
  EXPECT_EQ(im.pixel(16, 35), kBlack) << "D's left edge below the black key";
  // C: outline, white face, silver along the bottom, beside the black key and down the right.
  for (int x = 5; x <= 16; ++x) EXPECT_EQ(im.pixel(x, 0), kBlack) << x;
  for (int y = 0; y <= 58; ++y) {
    EXPECT_EQ(im.pixel(5, y), kBlack) << y;
    EXPECT_EQ(im.pixel(16, y), y == 33 ? kGrey : kBlack) << y;  // under the black key's front line
  }
  for (int x = 6; x <= 15; ++x) {
    EXPECT_EQ(im.pixel(x, 59), kBlack) << x;
    EXPECT_EQ(im.pixel(x, 58), kSilver) << x;
  }
  // The notch between two white keys, C's silver and white, E's silver right inner column (no
  // black key beside it), the margin, the last key's right edge.
  const std::tuple<int, int, QRgb> pixels[] = {
      {5, 59, kBackground}, {12, 20, kSilver}, {15, 40, kSilver}, {11, 20, kWhite},
      {14, 40, kWhite},     {37, 1, kSilver},  {37, 40, kSilver}, {36, 10, kWhite},
      {2, 30, kBackground}, {830, 30, kBlack}};
  for (const auto& [x, y, colour] : pixels) EXPECT_EQ(im.pixel(x, y), colour) << x << "," << y;
  EXPECT_EQ(Host.Keyboard->focusPolicy(), Qt::NoFocus);
}

TEST_F(KeyboardPixels, PressedKeysShadeTheOtherSideAndReleasingRestoresThePicture) {
  const QPoint presses[] = {{10, 40}, {20, 50}, {14, 10}};  // C, D, C sharp
  // Which press, then a pixel (x, y) and its colour while that key is down.
  const std::tuple<int, int, int, QRgb> pixels[] = {
      {0, 6, 58, kGrey},   {0, 15, 58, kGrey},  {0, 6, 1, kGrey},    {0, 6, 50, kGrey},
      {0, 12, 20, kWhite}, {0, 15, 40, kWhite}, {0, 7, 40, kWhite},  {1, 19, 1, kGrey},
      {1, 19, 34, kGrey},  {1, 17, 35, kGrey},  {1, 17, 58, kGrey},  {1, 26, 58, kGrey},
      {1, 23, 10, kWhite}, {1, 26, 40, kWhite}, {1, 17, 10, kBlack}, {2, 15, 33, kBlack},
      {2, 18, 1, kGrey},   {2, 18, 33, kGrey},  {2, 18, 0, kBlack},  {2, 18, 34, kBlack}};
  for (int i = 0; i < 3; ++i) {
    Host.Press(presses[i]);
    const QImage pressed = Host.OnScreen();
    for (const auto& [press, x, y, colour] : pixels)
      if (press == i) {
        EXPECT_EQ(pressed.pixel(x, y), colour) << "press " << i << ": " << x << "," << y;
      }
    Host.Release(presses[i]);
    EXPECT_EQ(Host.OnScreen(), Released) << "press " << i;
  }
}

TEST_F(KeyboardPixels, ElevenOctaveLabelsUnderTheCs) {
  const int top = 60 + 3;
  // Dark pixels under each C, none between two labels.
  const auto darkIn = [&](int x0, int x1) {
    int dark = 0;
    for (int y = top; y < Released.height(); ++y)
      for (int x = std::max(x0, 0); x <= std::min(x1, Released.width() - 1); ++x)
        dark += qGray(Released.pixel(x, y)) < 60;
    return dark;
  };
  for (int octave = 0; octave <= 10; ++octave) {
    const int left = 5 + octave * 77;
    EXPECT_GT(darkIn(left - 4, left + 14), 5) << "label under note " << octave * 12;
    EXPECT_EQ(darkIn(left + 38, left + 55), 0) << "nothing under note " << octave * 12 + 5;
  }
  for (int y = 60; y < top; ++y) EXPECT_EQ(Released.pixel(390, y), kBackground) << y;
}

TEST_F(KeyboardPixels, PlayRepaintsOnlyTheKeysThatChange) {
  QRegion painted;
  struct TPaintSpy : QObject {
    QRegion* Painted;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) *Painted += static_cast<QPaintEvent*>(e)->region();
      return false;
    }
  } spy;
  spy.Painted = &painted;
  Host.Keyboard->installEventFilter(&spy);
  Host.Press({6, 50});
  Host.Move({20, 50});
  Host.Release({20, 50});
  EXPECT_FALSE(painted.isEmpty());
  EXPECT_EQ(painted.boundingRect() & QRect(0, 0, 5, 200), QRect()) << "the margin";
  EXPECT_LE(painted.boundingRect().right(), 27) << "C and D only";
  Host.Keyboard->removeEventFilter(&spy);
}

TEST_F(KeyboardPixels, GeometrySettersRebuildAndRepaintAndKeepTheHeldKey) {
  Host.Press({60, 50});  // A, key 9
  Host.Keyboard->SetIvoryWidth(14);
  Host.Keyboard->SetEbonyHeight(40);
  QCoreApplication::processEvents();
  EXPECT_EQ(Host.Keyboard->Keys()[9].Left, 5 + 5 * 14);
  EXPECT_EQ(Host.Keyboard->PressedKey(), 9);
  const QImage im = Host.OnScreen();
  EXPECT_EQ(im.pixel(5 + 5 * 14 + 1, 50), kGrey) << "the held key is still drawn down";
  EXPECT_EQ(im.pixel(5 + 14, 39), kBlack) << "the taller black keys";
  Host.Release({60, 50});
}

}  // namespace
