#pragma once
// Tells when a notification area may have come (or gone) without looking on a period: the
// watcher of StatusNotifierItem trays taking or changing its name on the session bus, a tray
// host registering with it, and on X11 the XEmbed tray's window changing.
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>

namespace qx {

class TrayWatch final : public QObject {
    Q_OBJECT
public:
    explicit TrayWatch(const QDBusConnection& bus);

signals:
    void changed();

private slots:
    void OnHostRegistered();

private:
    QDBusServiceWatcher watcher_;
};

}  // namespace qx
