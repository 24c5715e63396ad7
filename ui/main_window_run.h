#pragma once
// The user interface's part of a run: the main window between start-up and shutdown, and the
// message box of a start-up failure.
#include <QTranslator>
#include <memory>
#include <string>

#include "app/CInterfaceManagerApp.h"

namespace qx {

// Qt's own texts (standard buttons, the tab bar's scroll buttons a screen reader names) in the
// windows' language, from Qt's translations (the package qt6-translations-l10n); null when
// the windows are English or the translations are not installed. Installed on the application
// until it is destroyed. Needs a QApplication.
std::unique_ptr<QTranslator> InstallQtTranslations(int windowLanguage);

// Builds the main window on the services, applies "-s"/"-m", runs the event loop until the
// window ends, destroys the window (its settings are written) and returns the exit code.
// The termination signals end the run like an exit request of a second start, so the ports
// are released and the settings saved. Needs a QApplication.
int RunMainWindow(RunningServices& services);

// The error box of a start-up failure (not on the offscreen platform, where no one could
// answer it). Needs a QApplication.
void ShowStartupError(const std::string& text);

}  // namespace qx
