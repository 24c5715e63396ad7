#pragma once
// The balloon service over org.freedesktop.Notifications on a D-Bus connection.
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include "ui/balloon_service.h"

namespace qx {

class DbusNotifications final : public QObject, public BalloonService {
    Q_OBJECT
public:
    // appName names the program to the service and stands in for an empty title.
    DbusNotifications(QDBusConnection bus, QString appName);

    bool Available() override;
    unsigned Show(unsigned replaces, const std::string& title, const std::string& text,
                  unsigned timeoutMs) override;
    void Close(unsigned id) override;

private slots:
    void OnNotificationClosed(uint id, uint reason);

private:
    QDBusConnection bus_;
    QString appName_;
};

}  // namespace qx
