#include "ui/qt_tray_shell.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QMenu>
#include <QStyleHints>

#include "app/string_ids.h"
#include "app/strings.h"
#include "ui/dbus_notifications.h"
#include "ui/program_icon.h"

namespace qx {

namespace {

constexpr int kOwnMessageTimeoutMs = 10000;  // Qt's own default for a tray message

// Qt puts its icon on a StatusNotifierItem tray when the session has the watcher of such
// items; it decides once, at its first look, as this does just before it.
bool SessionHasStatusNotifierWatcher() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() != nullptr &&
           bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

}  // namespace

TrayDesktop SessionTrayDesktop() {
    TrayDesktop desktop;
    desktop.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    desktop.activationToggles = SessionHasStatusNotifierWatcher();
    desktop.doubleClickIntervalMs = QGuiApplication::styleHints()->mouseDoubleClickInterval();
    desktop.balloons = std::make_unique<DbusNotifications>(
        QDBusConnection::sessionBus(),
        QString::fromStdString(LoadLocalizedString(kStrProgramName)));
    desktop.watch = std::make_unique<TrayWatch>(QDBusConnection::sessionBus());
    return desktop;
}

QtTrayShell::QtTrayShell(TrayDesktop desktop) : desktop_(std::move(desktop)) {
    trayWasAvailable_ = Available();
    if (desktop_.balloons) {
        desktop_.balloons->onClosed = [this](unsigned id) {
            if (id == balloonId_) balloonId_ = 0;  // gone: the next balloon is a new one
        };
    }
    if (desktop_.watch)
        connect(desktop_.watch.get(), &TrayWatch::changed, this, &QtTrayShell::LookForTray);
    singleClick_.setSingleShot(true);
    singleClick_.setInterval(desktop_.doubleClickIntervalMs);
    connect(&singleClick_, &QTimer::timeout, this, &QtTrayShell::Toggle);
}

QtTrayShell::~QtTrayShell() {
    if (desktop_.balloons) desktop_.balloons->onClosed = nullptr;
}

bool QtTrayShell::Available() const { return desktop_.trayAvailable(); }

void QtTrayShell::LookForTray() {
    const bool available = Available();
    const bool appeared = available && !trayWasAvailable_;
    trayWasAvailable_ = available;
    if (appeared && onTrayAvailable) onTrayAvailable();
}

bool QtTrayShell::Notify(TrayOperation operation, const TrayRecord& record) {
    if (operation == kTrayDelete) {
        CloseBalloon();
        icon_.reset();
        return true;
    }
    if (!Available()) return false;
    if (operation == kTrayModify && !icon_) return false;  // the icon was lost: nothing to modify
    if (!icon_) {
        icon_ = std::make_unique<QSystemTrayIcon>(this);
        connect(icon_.get(), &QSystemTrayIcon::activated, this, &QtTrayShell::OnActivated);
    }
    id_ = record.id;
    if (record.fields & kTrayFieldIcon) icon_->setIcon(ProgramIcon());
    if (record.fields & kTrayFieldTip) icon_->setToolTip(QString::fromStdString(record.tip));
    icon_->show();
    if (record.fields & kTrayFieldInfo) ShowBalloon(record);
    return true;
}

bool QtTrayShell::NotifyWithoutIcon(const TrayRecord& record) {
    return desktop_.balloons && desktop_.balloons->Available() && ShowNotification(record);
}

// Each balloon takes the place of the one before, and an empty one closes it.
void QtTrayShell::ShowBalloon(const TrayRecord& record) {
    if (desktop_.balloons && desktop_.balloons->Available()) {
        ShowNotification(record);
        return;
    }
    // The tray's own message cannot be taken back, so an empty balloon simply shows nothing.
    if (!record.info.empty()) {
        const int timeoutMs = record.timeoutMs == kTrayBalloonDesktopTimeout
                                  ? kOwnMessageTimeoutMs
                                  : static_cast<int>(record.timeoutMs);
        icon_->showMessage(QString::fromStdString(record.infoTitle),
                           QString::fromStdString(record.info), QSystemTrayIcon::Information,
                           timeoutMs);
    }
}

// Through the notification service; false when it did not take the notification.
bool QtTrayShell::ShowNotification(const TrayRecord& record) {
    if (record.info.empty()) {
        CloseBalloon();
        return true;
    }
    balloonId_ =
        desktop_.balloons->Show(balloonId_, record.infoTitle, record.info, record.timeoutMs);
    return balloonId_ != 0;
}

void QtTrayShell::CloseBalloon() {
    if (balloonId_ == 0) return;
    desktop_.balloons->Close(balloonId_);
    balloonId_ = 0;
}

int QtTrayShell::TrackMenu(const std::vector<TrayMenuItem>& items) {
    QMenu menu;
    for (const TrayMenuItem& item : items) {
        menu.addAction(QString::fromStdString(item.text))->setData(item.command);
    }
    const QAction* chosen = menu.exec(QCursor::pos());
    return chosen != nullptr ? chosen->data().toInt() : 0;
}

// A tray that reports activation has no double click of its own: there the activation toggles
// the window. Elsewhere a double click reports a click first, so a click toggles only when no
// double click follows within the interval, and a double click toggles once.
void QtTrayShell::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (!onMessage) return;
    if (reason == QSystemTrayIcon::Trigger) {
        if (desktop_.activationToggles)
            Toggle();
        else
            singleClick_.start();
    } else if (reason == QSystemTrayIcon::DoubleClick) {
        singleClick_.stop();
        Toggle();
    } else if (reason == QSystemTrayIcon::Context) {
        onMessage(id_, kTrayRightButtonUp);
    }
}

void QtTrayShell::Toggle() {
    if (onMessage) onMessage(id_, kTrayLeftDoubleClick);
}

}  // namespace qx
