#include "ui/tray_watch.h"

#include <QGuiApplication>

namespace qx {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// Qt's X11 platform announces a new XEmbed tray window with this signal of its native
// interface, whose class is private to Qt; the signal is reached by name, as Qt's own tray
// icon does.
void WatchXEmbedTray(TrayWatch* watch) {
    // The native interface's class has QObject as its only base.
    auto* native = reinterpret_cast<QObject*>(QGuiApplication::platformNativeInterface());
    if (native == nullptr ||
        native->metaObject()->indexOfSignal("systemTrayWindowChanged(QScreen*)") < 0)
        return;  // another platform: no XEmbed trays
    QObject::connect(native, SIGNAL(systemTrayWindowChanged(QScreen*)), watch, SIGNAL(changed()));
}

}  // namespace

TrayWatch::TrayWatch(const QDBusConnection& bus)
    : watcher_(kWatcherService, bus, QDBusServiceWatcher::WatchForOwnerChange) {
    connect(&watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayWatch::changed);
    QDBusConnection(bus).connect(kWatcherService, kWatcherPath, kWatcherService,
                                 QStringLiteral("StatusNotifierHostRegistered"), this,
                                 SLOT(OnHostRegistered()));
    WatchXEmbedTray(this);
}

void TrayWatch::OnHostRegistered() { emit changed(); }

}  // namespace qx
