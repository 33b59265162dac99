#pragma once

#include "NotifyEvent.h"
#include "SkinSource.h"

#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

// Source rectangle, in the sheet, of frame `glyphIndex` of a grid whose frames have the size
// `frameWidth` x `frameHeight` and are numbered row by row from (`skinXOffset`, `skinYOffset`),
// `glyphColCount` frames per row. Row and column follow C++ division (toward zero), so a negative
// index names a rectangle left of or above the first frame.
QRect SkinFrameRect(int glyphIndex, int glyphColCount, int skinXOffset, int skinYOffset,
                    int frameWidth, int frameHeight);

// Frame index kept after a request for `value` on a grid of `glyphColCount` x `glyphRowCount`
// frames: an index past the last frame becomes the last frame. There is no lower bound.
int SkinClampGlyphIndex(int value, int glyphColCount, int glyphRowCount);

// A self-drawn control that shows exactly one frame of its skin source's sheet, chosen by
// GlyphIndex. The control's size is both the frame's size and its pitch in the sheet; nothing is
// scaled. Every pixel is painted (the frame is copied opaquely), so repaints never clear the
// background first.
//
// Setters that change the look repaint synchronously: when they return, the new frame is on the
// screen. Derived controls change their look only through SetGlyphIndex and rely on this.
//
// Without a source the control paints a white rectangle with a one-pixel black frame. Where the
// frame lies partly or wholly outside the sheet (an empty sheet, a negative index, offsets past
// the edge) the part outside is painted in the window colour.
//
// On a screen of a higher pixel ratio the frame is enlarged by repeating pixels, never smoothed,
// so the artwork stays sharp.
//
// A control takes focus from a click only (Qt::ClickFocus), so by itself it stays out of the Tab
// chain; a window that wants it there gives it Qt::StrongFocus.
// Focus is shown as a one-pixel ring in the highlight colour over the frame's outermost pixels,
// the frame itself unchanged, once the keyboard is used on the control or when focus came from
// anywhere but the mouse (an assistive tool, code); a click alone leaves the look exactly as the
// mouse left it, and the next press hides the ring again.
//
// Each control answers to assistive tools through an accessible interface of its own kind,
// named by Caption (or by QWidget::accessibleName when one is set).
class TSkinControl : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString Caption READ GetCaption WRITE SetCaption)
  Q_PROPERTY(int Tag READ GetTag WRITE SetTag)
  Q_PROPERTY(TSkinSource* SkinSource READ GetSkinSource WRITE SetSkinSource)
  Q_PROPERTY(int GlyphColCount READ GetGlyphColCount WRITE SetGlyphColCount)
  Q_PROPERTY(int GlyphRowCount READ GetGlyphRowCount WRITE SetGlyphRowCount)
  Q_PROPERTY(int GlyphIndex READ GetGlyphIndex WRITE SetGlyphIndex)
  Q_PROPERTY(int SkinXOffset READ GetSkinXOffset WRITE SetSkinXOffset)
  Q_PROPERTY(int SkinYOffset READ GetSkinYOffset WRITE SetSkinYOffset)

public:
  static constexpr int kDefaultSize = 27;

  // Starts 27 x 27, without a source, on a 1 x 1 grid showing frame 0 at offset (0, 0).
  explicit TSkinControl(QWidget* parent = nullptr);

  int GetTag() const { return FTag; }
  void SetTag(int value) { FTag = value; }

  // The name a user knows the control by ("Filter Freq", "BD"); empty by default. It names the
  // control to assistive tools and in value hints; it is never drawn.
  const QString& GetCaption() const { return FCaption; }
  void SetCaption(const QString& value) { FCaption = value; }

  // True while the focus ring is drawn.
  bool GetFocusShown() const { return FFocusShown && hasFocus(); }

  // The source is not owned. Assigning it does not repaint; the next repaint shows the new
  // source. A source destroyed before the control is forgotten: the control then paints the
  // placeholder.
  TSkinSource* GetSkinSource() const { return FSkinSource.data(); }
  void SetSkinSource(TSkinSource* value) { FSkinSource = value; }

  int GetGlyphColCount() const { return FGlyphColCount; }
  int GetGlyphRowCount() const { return FGlyphRowCount; }
  int GetGlyphIndex() const { return FGlyphIndex; }
  int GetSkinXOffset() const { return FSkinXOffset; }
  int GetSkinYOffset() const { return FSkinYOffset; }

  // The counts store the value (at least 1) and repaint. A count change does not re-clamp
  // GlyphIndex.
  void SetGlyphColCount(int value);
  void SetGlyphRowCount(int value);
  // Stores the value, lowered to the last frame of the grid if it lies past it, and repaints.
  void SetGlyphIndex(int value);
  void SetSkinXOffset(int value);
  void SetSkinYOffset(int value);

  // Raised by the control's mouse handling before a derived control acts on the event, unless the
  // derived control says otherwise. Moves are reported with or without a button held.
  TMouseEvent OnMouseDown;
  TMouseEvent OnMouseUp;
  TMouseMoveEvent OnMouseMove;

protected:
  // Draws the current frame (or the placeholder) on the control.
  virtual void Paint();

  // Repaints at once, not deferred.
  void RepaintNow();

  // Shows or hides the focus ring (it is drawn only while the control has focus); repaints at
  // once when this changes what is drawn.
  void ShowFocus(bool value);

  // Key handling of the controls that a plain Space clicks: such a press is accepted and shows
  // focus, and the result says whether to click (not on auto-repeat); any other key goes to
  // QWidget's handling and the result is false.
  bool SpaceClicks(QKeyEvent* event);

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

private:
  QPointer<TSkinSource> FSkinSource;
  int FGlyphColCount = 1;
  int FGlyphRowCount = 1;
  int FGlyphIndex = 0;
  int FSkinXOffset = 0;
  int FSkinYOffset = 0;
  int FTag = 0;
  QString FCaption;
  bool FFocusShown = false;
};
