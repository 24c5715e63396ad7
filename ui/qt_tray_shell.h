#pragma once
// The tray shell over QSystemTrayIcon: the desktop's notification area when it has one, with
// balloons through the desktop's notification service where there is one, tray or not.
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>

#include "ui/balloon_service.h"
#include "ui/tray_shell.h"
#include "ui/tray_watch.h"

namespace qx {

// What the shell takes from the desktop; tests give their own.
struct TrayDesktop {
    std::function<bool()> trayAvailable;
    // The tray reports a single activation rather than double clicks (StatusNotifierItem
    // trays: KDE Plasma, GNOME with the AppIndicator extension).
    bool activationToggles = false;
    // Elsewhere (XEmbed trays) a single click toggles once no second click has come within the
    // platform's double-click interval.
    int doubleClickIntervalMs = 400;
    std::unique_ptr<BalloonService> balloons;  // null: only the tray's own messages
    std::unique_ptr<TrayWatch> watch;          // null: a tray that comes later goes unseen
};

// The session's tray and notification service.
TrayDesktop SessionTrayDesktop();

class QtTrayShell final : public QObject, public TrayShell {
    Q_OBJECT
public:
    explicit QtTrayShell(TrayDesktop desktop = SessionTrayDesktop());
    ~QtTrayShell() override;

    bool Available() const override;
    bool Notify(TrayOperation operation, const TrayRecord& record) override;
    bool NotifyWithoutIcon(const TrayRecord& record) override;
    int TrackMenu(const std::vector<TrayMenuItem>& items) override;

private:
    void LookForTray();
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    void Toggle();
    void ShowBalloon(const TrayRecord& record);
    bool ShowNotification(const TrayRecord& record);
    void CloseBalloon();

    TrayDesktop desktop_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    unsigned id_ = 0;
    unsigned balloonId_ = 0;  // the notification up, 0: none
    bool trayWasAvailable_ = false;
    QTimer singleClick_;  // runs between a click and the end of the double-click interval
};

}  // namespace qx
