#include "ui/main_window_run.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include "app/string_ids.h"
#include "app/strings.h"
#include "ui/CInterfaceManagerDlg.h"

namespace qx {

std::unique_ptr<QTranslator> InstallQtTranslations(int windowLanguage) {
    if (windowLanguage != kLangJapanese) return nullptr;
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QLocale(QLocale::Japanese), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return nullptr;
    QCoreApplication::installTranslator(translator.get());
    return translator;
}

int RunMainWindow(RunningServices& services) {
    const std::unique_ptr<QTranslator> qtWords = InstallQtTranslations(WindowLanguage());
    auto window =
        std::make_unique<CInterfaceManagerDlg>(services.hid, services.portClass, services.program);
    if (services.commandLine.mode == StartMode::kShow) window->Settings().hideInTray.value = 0;
    if (services.commandLine.mode == StartMode::kTray) window->Settings().hideInTray.value = 1;
    window->WatchInstanceRequests(services.instance);
    services.showNotice = [&window](const std::string& text) { window->ShowNotice(text); };
    // Once the loop runs, so the tray icon is there to carry it.
    if (!services.startNotice.empty()) {
        QTimer::singleShot(0, window.get(),
                           [&window, text = services.startNotice] { window->ShowNotice(text); });
    }

    std::unique_ptr<QSocketNotifier> signalWatch;
    TerminationSignals& termination = services.termination;
    if (termination.Fd() >= 0) {
        signalWatch = std::make_unique<QSocketNotifier>(termination.Fd(), QSocketNotifier::Read);
        QObject::connect(signalWatch.get(), &QSocketNotifier::activated, window.get(),
                         [&termination, &window] {
                             termination.Drain();
                             window->HandleInstanceRequest(kRequestExit);
                         });
    }
    // exit(), not quit(): quit() asks every window to close first, and this window never
    // closes; it only ends through its exit path.
    QObject::connect(
        window.get(), &CInterfaceManagerDlg::exitRequested, qApp, [] { QCoreApplication::exit(0); },
        Qt::QueuedConnection);
    const int code = QApplication::exec();
    signalWatch.reset();
    services.showNotice = nullptr;  // what the window's last writes meet goes to stderr only
    window.reset();
    return code;
}

void ShowStartupError(const std::string& text) {
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    const std::unique_ptr<QTranslator> qtWords = InstallQtTranslations(WindowLanguage());
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(LoadLocalizedString(kStrTitle)),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

}  // namespace qx
