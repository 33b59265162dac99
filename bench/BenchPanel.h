#pragma once

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include "MainForm.h"

// Shows `form`, opens its port with the Open button and ticks all 24 parameters: the panel as a
// user has it when a mix-knob move sends every parameter.
inline void ShowOpenAllTicked(TMainForm& form) {
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) qFatal("the window was not shown");
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {},
                    form.findChild<QPushButton*>("OpenButton")->geometry().center());
  for (int n = 1; n <= 24; ++n)
    form.findChild<QCheckBox*>(QStringLiteral("CheckBox%1").arg(n))->setChecked(true);
}
