#include "ui/dbus_notifications.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>

namespace qx {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The calls run on the user interface thread: a service that hangs must not freeze the window.
constexpr int kCallTimeoutMs = 1000;

}  // namespace

DbusNotifications::DbusNotifications(QDBusConnection bus, QString appName)
    : bus_(std::move(bus)), appName_(std::move(appName)) {
    bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(OnNotificationClosed(uint, uint)));
}

// Notification daemons are often started by the bus on the first call, so a service that can
// be activated counts as well as one that runs.
bool DbusNotifications::Available() {
    if (!bus_.isConnected() || bus_.interface() == nullptr) return false;
    if (bus_.interface()->isServiceRegistered(kService)) return true;
    const QDBusReply<QStringList> activatable =
        bus_.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(kService);
}

unsigned DbusNotifications::Show(unsigned replaces, const std::string& title,
                                 const std::string& text, unsigned timeoutMs) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QString summary = title.empty() ? appName_ : QString::fromStdString(title);
    call << appName_ << static_cast<uint>(replaces) << QStringLiteral("qx-manager") << summary
         << QString::fromStdString(text) << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("qx-manager")}}
         << static_cast<int>(timeoutMs);
    const QDBusReply<uint> reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    return reply.isValid() ? reply.value() : 0;
}

void DbusNotifications::Close(unsigned id) {
    bus_.send(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                             QStringLiteral("CloseNotification"))
              << static_cast<uint>(id));
}

void DbusNotifications::OnNotificationClosed(uint id, uint /*reason*/) {
    if (onClosed) onClosed(id);
}

}  // namespace qx
