// qx-manager: the program's entry. The Qt application is made only when a window or a message
// box is needed, so the one-shot switches and a second start work without a display.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/CInterfaceManagerApp.h"
#include "app/display_check.h"
#include "sim/hid_service_choice.h"
#include "ui/main_window_run.h"

namespace {

// Qt ends the process with a core dump when its platform cannot start (a DISPLAY that names no
// reachable server, as a stale one over ssh does): end it as a start without a display instead.
void EndWithoutDisplay(QtMsgType type, const QMessageLogContext&, const QString& message) {
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    if (type != QtFatalMsg) return;
    std::fprintf(stderr, "%s\n", qx::NoDisplayText().c_str());
    std::_Exit(qx::kExitNoDisplay);
}

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<QApplication> qt;
    const auto ensureQt = [&] {
        if (qt) return;
        const QtMessageHandler previous = qInstallMessageHandler(EndWithoutDisplay);
        qt = std::make_unique<QApplication>(argc, argv);
        qInstallMessageHandler(previous);
    };
    qx::CInterfaceManagerApp app;
    // The one place the program may reach the simulator: the hid seam chosen at start. Simulated
    // interfaces get ports of their own, so they can be tried at once.
    app.makeHidService = []() -> qx::Expected<qx::HidService> {
        qx::Expected<qx::HidServiceChoice> choice = qx::MakeHidServiceFromEnvironment();
        if (!choice) return choice.error();
        qx::GiveSimulatedInterfacesPorts(choice->simulatedSerialNumbers);
        return std::move(choice->service);
    };
    app.runWindow = [&](qx::RunningServices& services) {
        ensureQt();
        QApplication::setQuitOnLastWindowClosed(false);
        return qx::RunMainWindow(services);
    };
    app.showError = [&](const std::string& text) {
        ensureQt();
        qx::ShowStartupError(text);
    };
    return app.Run(std::vector<std::string>(argv + 1, argv + argc));
}
