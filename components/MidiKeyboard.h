#pragma once

#include "NotifyEvent.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "MidiOut.h"

enum TKeyKind : std::int32_t { kkEbony = 0, kkIvory = 1 };

// The look DrawKey gives a key; other values draw nothing.
enum TKeyState : std::int32_t { ksUp = 1, ksDown = 2 };

// One key of the keyboard. Left..Right (inclusive) is the key's hit area in client columns. The two
// flags say, for a white key, on which side a black key covers its upper part; black keys leave
// them false.
struct TKeyInfo {
  std::uint8_t Note = 0;
  std::int32_t Left = 0;
  std::int32_t Right = 0;
  TKeyKind Kind = kkIvory;
  bool EbonyLeft = false;
  bool EbonyRight = false;
  bool operator==(const TKeyInfo&) const = default;
};

// The four sizes of the keys, in pixels.
struct TKeyGeometry {
  int EbonyWidth = 5;
  int EbonyHeight = 35;
  int IvoryWidth = 11;
  int IvoryHeight = 60;

  // Half the black key width, (EbonyWidth - 1) / 2 truncated toward zero.
  int Half() const { return (EbonyWidth - 1) / 2; }
};

// Lays out notes firstNote..lastNote (pitch class of note i is i mod 12 from firstNote, so
// firstNote should be a C) from column 5 on: white keys abut at a pitch of IvoryWidth, and each
// black key's hit area starts Half() + 1 columns left of the white key after it. Any sizes are
// accepted, zero and negative ones too.
std::vector<TKeyInfo> BuildKeyTable(int firstNote, int lastNote, const TKeyGeometry& g);

// Index of the key under client point (x, y), or -1. Rows up to and including EbonyHeight go to
// a black key first; rows past IvoryHeight hit nothing. Y is not tested against 0.
int KeyAtPoint(const std::vector<TKeyInfo>& keys, const TKeyGeometry& g, int x, int y);

// Fills the 4-connected region around `start` up to pixels of colour `border` (which stay) with
// `fill`. Returns the bounding rectangle of the pixels filled; an empty one when `start` lies
// outside the image or on the border colour. Needs an RGB32 or ARGB32 image.
QRect BorderFloodFill(QImage& image, QPoint start, QRgb fill, QRgb border);

// Draws key `key` in its released look onto `canvas` (outline, fill, shading, and the octave
// label under a C in `font` on `background`), as part of a full paint in key order.
void PaintKey(QImage& canvas, const TKeyInfo& key, const TKeyGeometry& g, QColor background,
              const QFont& font);

// Redraws the shading of an already painted key for `state`. Returns the rectangle of the pixels
// that may have changed; empty for a state that draws nothing.
QRect DrawKeyOn(QImage& canvas, const TKeyInfo& key, const TKeyGeometry& g, TKeyState state);

// The on-screen keyboard over all 128 MIDI notes, played with the left mouse button through a
// MIDI output port: a press sends a note-on (velocity 54) and draws the key down, moving onto
// another key with the button held moves the note there (note-off, then note-on), and the release
// sends the note-off. At most one note of a keyboard sounds at a time. The keyboard takes no focus
// and no keys.
//
// What the control shows is kept in an image of its own size. A full paint of that image runs
// only after a geometry or colour change or a resize; mouse play redraws the one or two keys that
// change in the image and repaints just their rectangles.
//
// A note played with the mouse ends on the channel and port it started on, whatever was set
// while it sounded; it never outlives its key: it is ended when the keyboard is hidden (the window
// closed or minimised included) or destroyed, when another port is set, and when the application
// is about to quit.
//
// The port is not owned. A port destroyed while set is forgotten (the keyboard then sends
// nothing).
class TMidiKeyboard : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int EbonyWidth READ GetEbonyWidth WRITE SetEbonyWidth)
  Q_PROPERTY(int EbonyHeight READ GetEbonyHeight WRITE SetEbonyHeight)
  Q_PROPERTY(int IvoryWidth READ GetIvoryWidth WRITE SetIvoryWidth)
  Q_PROPERTY(int IvoryHeight READ GetIvoryHeight WRITE SetIvoryHeight)
  Q_PROPERTY(int MidiChannel READ GetMidiChannel WRITE SetMidiChannel)
  Q_PROPERTY(QColor Color READ GetColor WRITE SetColor)

public:
  static constexpr std::uint8_t kVelocity = 54;

  explicit TMidiKeyboard(QWidget* parent = nullptr);
  ~TMidiKeyboard() override;

  int GetEbonyWidth() const { return FGeometry.EbonyWidth; }
  int GetEbonyHeight() const { return FGeometry.EbonyHeight; }
  int GetIvoryWidth() const { return FGeometry.IvoryWidth; }
  int GetIvoryHeight() const { return FGeometry.IvoryHeight; }
  // Each stores the value unchecked, rebuilds the key table (a held key keeps its index) and
  // repaints the whole control, also when the value is unchanged.
  void SetEbonyWidth(int value);
  void SetEbonyHeight(int value);
  void SetIvoryWidth(int value);
  void SetIvoryHeight(int value);

  // 1..16. Notes start on the channel set at the time; a held note ends on the one it started on.
  int GetMidiChannel() const { return FMidiChannel + 1; }
  // Values outside 1..16 are ignored.
  void SetMidiChannel(int value);

  TMidiOut* GetMidiOut() const { return FMidiOut.data(); }
  void SetMidiOut(TMidiOut* value);

  // The background colour behind and between the keys and under the labels.
  QColor GetColor() const { return FColor; }
  void SetColor(QColor value);

  const std::vector<TKeyInfo>& Keys() const { return FKeys; }
  // Index into Keys() of the key held by the mouse; -1 when none.
  int PressedKey() const { return FPressedKey; }

  void BuildKeys();
  int KeyAt(int x, int y) const { return KeyAtPoint(FKeys, FGeometry, x, y); }
  // Redraws one key in place for `state` and shows it at once.
  void DrawKey(int index, TKeyState state);
  // Send through the port if one is set, on the current channel; results are ignored. Mouse play
  // goes through StartNote and EndNote instead, which remember the note's channel.
  void NoteOn(std::uint8_t note, std::uint8_t velocity);
  void NoteOff(std::uint8_t note);

  // Wide enough for every key and tall enough for the labels.
  QSize sizeHint() const override;

  TMouseEvent OnMouseDown;
  TMouseMoveEvent OnMouseMove;
  TMouseEvent OnMouseUp;

protected:
  // Paints every key released (the held one, if any, pressed) and the labels into the image.
  void Paint();

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  void Invalidate();
  void EnsureCanvas();
  void ReleaseHeldKey();
  // Sends the note-on of key `index` and remembers its note and channel for EndNote.
  void StartNote(int index);
  // Sends the note-off of the sounding note, if any, on the channel it started on.
  void EndNote();

  static constexpr int kFirstNote = 0;
  static constexpr int kLastNote = 127;

  std::vector<TKeyInfo> FKeys;
  TKeyGeometry FGeometry;
  int FPressedKey = -1;
  int FMidiChannel = 0;
  // The note mouse play started and has not ended, and its channel; FSoundingNote -1 when none.
  int FSoundingNote = -1;
  std::uint8_t FSoundingChannel = 0;
  QPointer<TMidiOut> FMidiOut;
  QColor FColor;
  QImage FCanvas;
  bool FCanvasValid = false;
};
