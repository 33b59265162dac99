#pragma once

#include <QObject>
#include <Qt>

#include <functional>

// Events of the system's own controls. Each is one optional handler, assigned by the owner of
// the control (usually the window after building its layout) and called with the control that
// raised it. An unassigned event is simply not called.

// A plain notification: "this control changed / was clicked".
using TNotifyEvent = std::function<void(QObject* Sender)>;

// A mouse button went down or up over a control: the button, the keyboard modifiers held, and the
// pointer position in the control's client pixels.
using TMouseEvent = std::function<void(QObject* Sender, Qt::MouseButton Button,
                                       Qt::KeyboardModifiers Shift, int X, int Y)>;

// The pointer moved over a control (or anywhere, while a button pressed on it is held): the
// keyboard modifiers held and the pointer position in the control's client pixels.
using TMouseMoveEvent =
    std::function<void(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y)>;
