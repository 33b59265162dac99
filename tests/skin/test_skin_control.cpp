// TSkinControl: defaults, the frame shown on the screen, the placeholder, clamping and the
// synchronous repaint.

#include "SkinCheckBox.h"
#include "SkinControl.h"
#include "SkinSource.h"
#include "SkinTestSupport.h"

namespace {

class SkinControlTest : public ::testing::Test {
protected:
  SkinControlTest() { Source.SetBitmap(CoordinateSheet(1474, 52)); }

  // Sheet place of the control's top left pixel as it stands on the screen.
  QPoint ShownPlace(const QWidget* control) { return SheetPlace(H.OnScreen(control).pixel(0, 0)); }

  // A shown control of the given size on the coordinate sheet.
  TSkinControl* Shown(QSize size = {22, 22}) {
    TSkinControl* c = H.Add<TSkinControl>();
    c->resize(size);
    c->SetSkinSource(&Source);
    H.Show();
    return c;
  }

  TSkinSource Source;
  Host H;
};

// Without a source: a white box with a black frame, over any background. Assigning a source does
// not repaint; the next setter shows its frame. A source destroyed first leaves the placeholder.
TEST_F(SkinControlTest, APlaceholderWithoutASourceAndTheSheetFromTheNextSetter) {
  H.Window().setStyleSheet("background: rgb(0, 128, 0)");
  TSkinControl* c = H.Add<TSkinControl>();
  EXPECT_TRUE(c->testAttribute(Qt::WA_OpaquePaintEvent));
  H.Show();
  const QImage shown = H.OnScreen(c);
  ASSERT_EQ(shown.size(), QSize(27, 27));
  for (int y = 0; y < 27; ++y) {
    for (int x = 0; x < 27; ++x) {
      const bool edge = x == 0 || y == 0 || x == 26 || y == 26;
      ASSERT_EQ(shown.pixel(x, y) & 0xFFFFFF, edge ? 0x000000u : 0xFFFFFFu) << x << "," << y;
    }
  }
  EventCounter paints(c, QEvent::Paint);
  auto doomed = std::make_unique<TSkinSource>();
  doomed->SetBitmap(CoordinateSheet(27, 27));
  c->SetSkinSource(doomed.get());
  EXPECT_EQ(paints.Count, 0);
  EXPECT_EQ(H.OnScreen(c).pixel(5, 5) & 0xFFFFFF, 0xFFFFFFu);  // still the placeholder
  c->SetGlyphIndex(0);
  EXPECT_EQ(paints.Count, 1);
  EXPECT_EQ(SheetPlace(H.OnScreen(c).pixel(5, 5)), QPoint(5, 5));
  doomed.reset();
  EXPECT_EQ(c->GetSkinSource(), nullptr);
  c->SetGlyphIndex(0);
  EXPECT_EQ(H.OnScreen(c).pixel(5, 5) & 0xFFFFFF, 0xFFFFFFu);
}

TEST_F(SkinControlTest, SetterShowsTheNamedFrameBeforeReturning) {
  TSkinControl* c = Shown();
  c->SetGlyphColCount(67);
  struct Case {
    int index;
    QPoint place;
  };
  for (Case k : {Case{33, {726, 0}}, Case{66, {1452, 0}}, Case{1, {22, 0}}, Case{0, {0, 0}},
                 Case{500, {1452, 0}}}) {
    c->SetGlyphIndex(k.index);  // no event processing between the setter and the read-back
    EXPECT_EQ(ShownPlace(c), k.place) << "index " << k.index;
    EXPECT_EQ(SheetPlace(c->grab().toImage().pixel(0, 0)), k.place) << "index " << k.index;
  }
  // Every pixel of the frame is copied unscaled.
  c->SetGlyphIndex(2);
  const QImage shown = H.OnScreen(c);
  for (int y = 0; y < 22; ++y)
    for (int x = 0; x < 22; ++x) ASSERT_EQ(SheetPlace(shown.pixel(x, y)), QPoint(44 + x, y));
}

// Offsets and the grid pick the sound cell; the index clamps against the grid at the time of
// setting; the frame's size and pitch follow the control's size.
TEST_F(SkinControlTest, OffsetsGridAndSizePickTheFrame) {
  TSkinControl* c = Shown({23, 13});
  c->SetGlyphIndex(66);  // 1 x 1 grid
  EXPECT_EQ(c->GetGlyphIndex(), 0);
  c->SetGlyphRowCount(2);  // no re-clamp and no re-pick: still frame 0
  c->SetSkinXOffset(46);
  EXPECT_EQ(ShownPlace(c), QPoint(46, 0));
  c->SetSkinYOffset(26);
  EXPECT_EQ(ShownPlace(c), QPoint(46, 26));
  c->SetGlyphIndex(1);
  EXPECT_EQ(ShownPlace(c), QPoint(46, 39));
  EXPECT_EQ(SheetPlace(H.OnScreen(c).pixel(22, 12)), QPoint(68, 51));
  c->SetSkinXOffset(0);
  c->SetSkinYOffset(0);
  c->SetGlyphColCount(67);
  c->resize(22, 22);
  c->SetGlyphIndex(3);
  EXPECT_EQ(ShownPlace(c), QPoint(66, 0));
  c->resize(10, 10);
  c->SetGlyphIndex(3);
  EXPECT_EQ(ShownPlace(c), QPoint(30, 0));
  c->SetGlyphIndex(1000);
  EXPECT_EQ(ShownPlace(c), QPoint(10 * 66, 10));
}

TEST_F(SkinControlTest, FrameOutsideTheSheetShowsWindowColourWithoutCrashing) {
  TSkinControl* c = Shown();
  const QRgb window = c->palette().window().color().rgb() & 0xFFFFFF;
  c->SetGlyphColCount(3);
  c->SetGlyphIndex(-1);  // one frame left of the sheet
  EXPECT_EQ(H.OnScreen(c).pixel(0, 0) & 0xFFFFFF, window);
  c->SetGlyphIndex(0);
  c->SetSkinXOffset(1464);  // half of the frame past the right edge
  const QImage shown = H.OnScreen(c);
  EXPECT_EQ(SheetPlace(shown.pixel(9, 3)), QPoint(1473, 3));
  EXPECT_EQ(shown.pixel(10, 3) & 0xFFFFFF, window);
  TSkinSource empty;
  c->SetSkinSource(&empty);
  c->SetGlyphIndex(0);
  EXPECT_EQ(H.OnScreen(c).pixel(11, 11) & 0xFFFFFF, window);
}

TEST(SkinSource, CopiesThePictureAndKeepsItsOwn) {
  TSkinSource source;
  EXPECT_TRUE(source.GetBitmap().isNull());
  QImage picture = CoordinateSheet(30, 20);
  source.SetBitmap(picture);
  picture.fill(Qt::black);  // the caller's picture stays the caller's
  EXPECT_EQ(SheetPlace(source.GetBitmap().pixel(7, 9)), QPoint(7, 9));
  EXPECT_EQ(source.GetBitmap().format(), QImage::Format_RGB32);
  EXPECT_FALSE(source.LoadBitmap(":/no/such/sheet.bmp"));
  EXPECT_EQ(source.GetBitmap().size(), QSize(30, 20));  // a failed load keeps the sheet
}

TEST(SkinControlProperties, NamedPropertiesReachTheSetters) {
  TSkinControl c;
  TSkinSource source;
  ASSERT_TRUE(c.setProperty("GlyphColCount", 0));  // counts below one are stored as one
  ASSERT_TRUE(c.setProperty("GlyphRowCount", -4));
  EXPECT_EQ(std::pair(c.GetGlyphColCount(), c.GetGlyphRowCount()), std::pair(1, 1));
  ASSERT_TRUE(c.setProperty("GlyphRowCount", 2));
  ASSERT_TRUE(c.setProperty("GlyphIndex", 9));
  EXPECT_EQ(c.GetGlyphIndex(), 1);
  ASSERT_TRUE(c.setProperty("SkinXOffset", 161));
  ASSERT_TRUE(c.setProperty("SkinYOffset", 26));
  ASSERT_TRUE(c.setProperty("Tag", 15));
  ASSERT_TRUE(c.setProperty("SkinSource", QVariant::fromValue(&source)));
  EXPECT_EQ(c.GetSkinXOffset(), 161);
  EXPECT_EQ(c.GetSkinYOffset(), 26);
  EXPECT_EQ(c.GetTag(), 15);
  EXPECT_EQ(c.GetSkinSource(), &source);
  EXPECT_EQ(c.property("GlyphIndex").toInt(), 1);
  TSkinCheckBox box;  // unchecked; checking it leaves the index as it was
  EXPECT_FALSE(box.GetChecked());
  box.setProperty("GlyphRowCount", 2);
  box.setProperty("GlyphIndex", 1);
  box.setProperty("Checked", true);
  EXPECT_EQ(box.GetGlyphIndex(), 1);
  EXPECT_TRUE(box.property("Checked").toBool());
}

TEST(SkinControlMouse, RaisesMouseEventsWithClientPositions) {
  Host h;
  TSkinControl* c = h.Add<TSkinControl>();
  h.Show();
  std::vector<QString> seen;
  c->OnMouseDown = [&](QObject* s, Qt::MouseButton b, Qt::KeyboardModifiers, int x, int y) {
    EXPECT_EQ(s, c);
    seen.push_back(QString("down %1 %2,%3").arg(int(b)).arg(x).arg(y));
  };
  c->OnMouseUp = [&](QObject*, Qt::MouseButton b, Qt::KeyboardModifiers, int x, int y) {
    seen.push_back(QString("up %1 %2,%3").arg(int(b)).arg(x).arg(y));
  };
  c->OnMouseMove = [&](QObject*, Qt::KeyboardModifiers, int x, int y) {
    seen.push_back(QString("move %1,%2").arg(x).arg(y));
  };
  h.Move({3, 4});
  seen.clear();
  h.Press(Qt::RightButton, {3, 4});
  h.Move({40, 5});  // outside, still held: the control keeps the mouse
  h.Release(Qt::RightButton, {40, 5});
  const std::vector<QString> expected = {"down 2 3,4", "move 40,5", "up 2 40,5"};
  EXPECT_EQ(seen, expected);
}

}  // namespace
