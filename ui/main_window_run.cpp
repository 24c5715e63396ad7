#include "ui/main_window_run.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include "app/strings.h"
#include "platform/autostart.h"
#include "platform/fd.h"
#include "ui/CInterfaceManagerDlg.h"

namespace qx {

namespace {

int g_signalWriteFd = -1;

void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalWriteFd, &byte, 1);
}

// Turns SIGINT and SIGTERM into a readable socket the event loop watches.
class TerminationSignals {
public:
    TerminationSignals() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return;
        read_.Reset(fds[0]);
        write_.Reset(fds[1]);
        g_signalWriteFd = write_.Get();
        struct sigaction action = {};
        action.sa_handler = OnTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &oldInt_);
        ::sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~TerminationSignals() {
        if (!read_.Valid()) return;
        ::sigaction(SIGINT, &oldInt_, nullptr);
        ::sigaction(SIGTERM, &oldTerm_, nullptr);
        g_signalWriteFd = -1;
    }
    int Fd() const { return read_.Get(); }
    void Drain() {
        char buffer[16];
        while (::read(read_.Get(), buffer, sizeof buffer) > 0) {
        }
    }

private:
    UniqueFd read_, write_;
    struct sigaction oldInt_ = {}, oldTerm_ = {};
};

}  // namespace

int RunMainWindow(RunningServices& services) {
    TerminationSignals termination;
    auto window = std::make_unique<CInterfaceManagerDlg>(services.hid, services.portClass,
                                                         services.program);
    window->programPath = QString::fromStdString(ProgramPath());
    if (services.commandLine.mode == StartMode::kShow) window->Settings().hideInTray.value = 0;
    if (services.commandLine.mode == StartMode::kTray) window->Settings().hideInTray.value = 1;
    window->WatchInstanceRequests(services.instance);

    std::unique_ptr<QSocketNotifier> signalWatch;
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
    QObject::connect(window.get(), &CInterfaceManagerDlg::exitRequested, qApp,
                     [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    const int code = QApplication::exec();
    signalWatch.reset();
    window.reset();
    return code;
}

void ShowStartupError(const std::string& text) {
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(LoadLocalizedString(102)),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

}  // namespace qx
