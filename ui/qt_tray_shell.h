#pragma once
// The tray shell over QSystemTrayIcon: the desktop's notification area when it has one.
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

#include "ui/tray_shell.h"

namespace qx {

class QtTrayShell final : public QObject, public TrayShell {
    Q_OBJECT
public:
    QtTrayShell();
    ~QtTrayShell() override;

    bool Available() const override;
    bool Notify(TrayOperation operation, const TrayRecord& record) override;
    int TrackMenu(const std::vector<TrayMenuItem>& items) override;

private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    std::unique_ptr<QSystemTrayIcon> icon_;
    unsigned id_ = 0;
};

}  // namespace qx
