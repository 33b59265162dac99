#!/usr/bin/env python3
"""Writes resources/MainForm.ui, the main window's layout, from the tables below.

The layout is regular (a 3 x 8 parameter grid, a 2 x 8 sound selector), so it is kept here as
data and the Designer file is generated from it. Run it again after changing a table:

    python3 tools/make_mainform_ui.py > resources/MainForm.ui
"""

from xml.sax.saxutils import escape

SOUNDS = ["BD", "SD", "HT", "MT", "LT", "CP", "RS", "CB",
          "CH", "OH", "RC", "CC", "M1", "M2", "M3", "M4"]

# Parameter n: label control, label caption, label width, check box caption.
PARAMETERS = [
    ("Label1", "Par1", 22, "Par1"), ("Label2", "Par2", 22, "Par2"),
    ("Par3", "Par3", 22, "Par3"), ("Label3", "Par4", 22, "Par4"),
    ("Par5", "Par5", 22, "Par5"), ("Par6", "Par6", 22, "Par6"),
    ("Label4", "Par7", 22, "Par7"), ("Label5", "Par8", 22, "Par8"),
    ("Label6", "AM Depth", 48, "AM Depth"), ("Label7", "AM Rate", 42, "AM Rate"),
    ("Label8", "EQ Freq", 39, "EQ Freq"), ("Label9", "EQ Gain", 40, "EQ Gain"),
    ("Label10", "Filter Freq", 46, "Filter F"), ("Label11", "Filter Width", 53, "Filter W"),
    ("Label12", "Filter Q", 33, "Filter Q"), ("Label13", "SRR", 23, "SRR"),
    ("Label14", "Distortion", 44, "Distortion"), ("Label15", "Volume", 35, "Volume"),
    ("Label16", "Pan", 19, "Pan"), ("Label17", "Delay", 27, "Delay"),
    ("Label18", "Reverb", 35, "Reverb"), ("Label19", "LFO Speed", 54, "LFO Speed"),
    ("Label20", "LFO Amnt", 47, "LFO Amnt"), ("Label21", "LFO Shape", 54, "LFO Shape"),
]

# name, left, top, min, max, position, glyph index
BANK_KNOBS = [
    ("PresetA1Knob", 256, 224, 0, 127, 0, 0),
    ("PresetA2Knob", 288, 224, 0, 127, 0, 0),
    ("PresetB1Knob", 472, 224, 0, 127, 127, 66),
    ("PresetB2Knob", 504, 224, 0, 127, 127, 66),
    ("MixKnob", 384, 208, 0, 100, 0, 0),
    ("MixAKnob", 360, 248, -100, 100, 0, 33),
    ("MixBKnob", 408, 248, -100, 100, 0, 33),
]

# name, left, top, width, height, caption, hint, tab order
BUTTONS = [
    ("OpenButton", 248, 104, 105, 25, "Open", None, 0),
    ("CloseButton", 360, 104, 99, 25, "Close", None, 1),
    ("ADownButton", 256, 256, 25, 17, "<", "Previous", 2),
    ("BDownButton", 472, 256, 25, 17, "<", "Previous", 3),
    ("AUpButton", 288, 256, 25, 17, ">", "Next", 4),
    ("BUpButton", 504, 256, 25, 17, ">", "Next", 5),
    ("StoreAButton", 256, 200, 25, 17, "S", "Store", 30),
    ("RecallAButton", 288, 200, 25, 17, "R", "Recall", 31),
    ("StoreBButton", 472, 200, 25, 17, "S", "Store", 32),
    ("RecallBButton", 504, 200, 25, 17, "R", "Recall", 33),
    ("Button1", 240, 336, 75, 25, "Start", None, 90),
    ("Button2", 328, 336, 75, 25, "Stop", None, 91),
    ("Button3", 416, 336, 75, 25, "Continue", None, 92),
]

BASE_CHANNELS = ["%d - %d" % (k + 1, k + 4) for k in range(13)]

# The client area: a 578 x 501 window less a 4-pixel frame and a 19-pixel caption.
CLIENT_WIDTH, CLIENT_HEIGHT = 570, 474

out = []


def emit(line=""):
    out.append(line)


def geometry(x, y, w, h):
    return ('<property name="geometry"><rect><x>%d</x><y>%d</y><width>%d</width>'
            '<height>%d</height></rect></property>' % (x, y, w, h))


def string(name, value):
    return '<property name="%s"><string>%s</string></property>' % (name, escape(value))


def number(name, value, dynamic=False):
    stdset = ' stdset="0"' if dynamic else ""
    return '<property name="%s"%s><number>%d</number></property>' % (name, stdset, value)


def boolean(name, value, dynamic=False):
    stdset = ' stdset="0"' if dynamic else ""
    return '<property name="%s"%s><bool>%s</bool></property>' % (
        name, stdset, "true" if value else "false")


def widget(cls, name, props, indent="  "):
    emit('%s<widget class="%s" name="%s">' % (indent, cls, name))
    for p in props:
        emit("%s  %s" % (indent, p))
    emit("%s</widget>" % indent)


def knob(name, x, y, lo, hi, pos, glyph):
    # Ranges before the position, and the frame last, as the window's defaults are read.
    widget("TSkinKnob", name, [
        geometry(x, y, 22, 22),
        number("GlyphColCount", 67, True), number("GlyphRowCount", 1, True),
        number("Sensitivity", 128, True),
        number("Min", lo, True), number("Max", hi, True), number("Position", pos, True),
        number("GlyphIndex", glyph, True),
    ])


emit('<?xml version="1.0" encoding="UTF-8"?>')
emit('<ui version="4.0">')
emit(' <class>MainForm</class>')
emit(' <widget class="QWidget" name="MainForm">')
emit('  ' + geometry(199, 137, CLIENT_WIDTH, CLIENT_HEIGHT))
emit('  ' + string("windowTitle", "Halvorine v0.2"))
emit('  <property name="font"><font><family>Liberation Sans</family>'
     '<pointsize>8</pointsize></font></property>')

# Frames first, so that the controls placed over them are drawn on top.
widget("QFrame", "Panel1", [geometry(224, 8, 2, 425),
                            '<property name="frameShape"><enum>QFrame::VLine</enum></property>',
                            '<property name="frameShadow"><enum>QFrame::Sunken</enum></property>'])
emit('  <widget class="QGroupBox" name="GroupBox1">')
emit('   ' + geometry(232, 16, 241, 137))
emit('   ' + string("title", " Midi Setup "))
widget("QLabel", "Label23", [geometry(16, 24, 66, 13), string("text", "Base Channel")],
       indent="   ")
emit('  </widget>')
widget("QGroupBox", "GroupBox2", [geometry(232, 176, 97, 129), string("title", " Bank A ")])
widget("QGroupBox", "GroupBox3", [geometry(456, 176, 97, 129), string("title", " Bank B ")])

for n, (label, caption, width, box_caption) in enumerate(PARAMETERS, start=1):
    c, r = (n - 1) // 8, (n - 1) % 8
    left = (8, 80, 160)[c]
    widget("QLabel", label, [geometry(left, 56 + 48 * r, width, 13), string("text", caption)])
    widget("QCheckBox", "CheckBox%d" % n, [geometry(left, 72 + 48 * r, 17, 17),
                                           string("text", box_caption)])
    knob("ParKnob%d" % n, (24, 96, 176)[c], 72 + 48 * r, 0, 127, 0, 0)

for i, tag in enumerate((0, 8, 16)):
    widget("QPushButton", "GroupFilterButton%d" % (i + 1), [
        geometry((8, 80, 160)[i], 440, 17, 17), string("toolTip", "Previous"),
        number("Tag", tag, True)])

for tag, sound in enumerate(SOUNDS):
    k, w = tag % 8, tag // 8
    widget("TSkinCheckBox", sound + "CheckBox", [
        number("Tag", tag, True), geometry(8 + 24 * k, 8 + 16 * w, 23, 13),
        number("GlyphColCount", 1, True), number("GlyphRowCount", 2, True),
        number("SkinXOffset", 23 * k, True), number("SkinYOffset", 26 * w, True),
        boolean("Checked", tag == 0, True), number("GlyphIndex", 1 if tag == 0 else 0, True)])

widget("QLabel", "Label24", [geometry(384, 192, 22, 13), string("text", "MIX")])
for k in BANK_KNOBS:
    knob(*k)

for name, x, y, w, h, caption, hint, _ in BUTTONS:
    props = [geometry(x, y, w, h), string("text", caption)]
    if hint:
        props.append(string("toolTip", hint))
    widget("QPushButton", name, props)

widget("TMidiOutComboBox", "MidiOutComboBox", [geometry(248, 72, 209, 21)])
emit('  <widget class="QComboBox" name="BaseChannelComboBox">')
emit('   ' + geometry(320, 40, 57, 21))
for item in BASE_CHANNELS:
    emit('   <item><property name="text"><string>%s</string></property></item>' % item)
emit('  </widget>')
emit(' </widget>')

emit(' <customwidgets>')
for cls, header in (("TSkinKnob", "SkinKnob.h"), ("TSkinCheckBox", "SkinCheckBox.h"),
                    ("TMidiOutComboBox", "MidiOutComboBox.h")):
    base = "QComboBox" if cls == "TMidiOutComboBox" else "QWidget"
    emit('  <customwidget><class>%s</class><extends>%s</extends><header>%s</header>'
         '</customwidget>' % (cls, base, header))
emit(' </customwidgets>')

# Keyboard order: the framework controls that take focus, by their tab order.
tab = [(b[7], b[0]) for b in BUTTONS]
tab += [(5 + n, "CheckBox%d" % n) for n in range(1, 25)]
tab += [(34, "MidiOutComboBox"), (74, "BaseChannelComboBox")]
tab += [(87 + i, "GroupFilterButton%d" % (i + 1)) for i in range(3)]
emit(' <tabstops>')
for _, name in sorted(tab):
    emit('  <tabstop>%s</tabstop>' % name)
emit(' </tabstops>')
emit(' <resources/>')
emit(' <connections/>')
emit('</ui>')

print("\n".join(out))
