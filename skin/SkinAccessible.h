#pragma once

// Registers, once per process, the accessible interfaces of the skinned controls with Qt's
// accessibility layer, which hands them to assistive tools (AT-SPI on Linux):
//
// - TSkinKnob: a dial named by its Caption; its value is Position (text: ValueText) on
//   [Min, Max], settable, with increase and decrease actions that Step by one;
// - TSkinCheckBox: a check box named by its Caption, checkable, checked as Checked; its press or
//   toggle action is a left press (Click);
// - TSkinButton: a push button named by its Caption; its press action is a click (Click);
// - any other TSkinControl: a picture named by its Caption.
//
// A QWidget::accessibleName, when set, names the control in place of its Caption. Safe to call
// any number of times; TSkinControl's constructor calls it.
void InstallSkinAccessibility();
