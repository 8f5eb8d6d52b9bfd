// The per-user settings store of the program: the recent-file list and the
// progress window's position.
#pragma once

#include <QSettings>

namespace gui {

inline QSettings AppSettings() {
  return QSettings(QStringLiteral("Local AppWizard-Generated Applications"), QStringLiteral("Ostinato 3"));
}

}  // namespace gui
