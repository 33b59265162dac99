#pragma once

#include <QSettings>

// The user's settings of the program (recent files, devices, thru, tempo, sweep length): one file,
// in the user's configuration folder, for every part of app/.
inline QSettings UserSettings() {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Halvorine"),
                   QStringLiteral("Halvorine"));
}
