// Balloons as notifications on a real bus: a private dbus-daemon with a notification service
// played by the test on a thread of its own (the calls block the test's thread).
#include "ui/dbus_notifications.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QMutex>
#include <QThread>
#include <QVariantMap>

#include <functional>
#include <memory>

#include "tests/support/private_bus.h"
#include "tests/support/temp_home.h"
#include "tests/ui/qt_test_app.h"
#include "ui/CTrayIcon.h"
#include "ui/qt_tray_shell.h"

namespace qx {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// The service's side: what it was asked, as the test reads it from its own thread.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown {
        QString appName;
        uint replaces;
        QString summary, body;
        int timeout;
    };
    std::vector<Shown> Notices() {
        QMutexLocker lock(&mutex_);
        return shown_;
    }
    std::vector<uint> Closed() {
        QMutexLocker lock(&mutex_);
        return closed_;
    }

public slots:
    uint Notify(const QString& appName, uint replaces, const QString& /*icon*/,
                const QString& summary, const QString& body, const QStringList& /*actions*/,
                const QVariantMap& /*hints*/, int timeout) {
        QMutexLocker lock(&mutex_);
        shown_.push_back({appName, replaces, summary, body, timeout});
        return replaces != 0 ? replaces : nextId_++;
    }
    void CloseNotification(uint id) {
        QMutexLocker lock(&mutex_);
        closed_.push_back(id);
    }

private:
    QMutex mutex_;
    std::vector<Shown> shown_;
    std::vector<uint> closed_;
    uint nextId_ = 7;
};

bool WaitFor(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 5000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class DbusNotificationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureQtApplication();
        ASSERT_FALSE(bus_.Address().empty()) << "dbus-daemon did not start";
        address_ = QString::fromStdString(bus_.Address());
    }
    void TearDown() override {
        if (serverThread_.isRunning()) {
            QDBusConnection::disconnectFromBus(QStringLiteral("server"));
            serverThread_.quit();
            serverThread_.wait();
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    }

    // Puts the notification service on the bus.
    void StartServer() {
        server_ = std::make_unique<FakeNotificationServer>();
        server_->moveToThread(&serverThread_);
        serverThread_.start();
        QDBusConnection connection =
            QDBusConnection::connectToBus(address_, QStringLiteral("server"));
        ASSERT_TRUE(
            connection.registerObject(kPath, server_.get(), QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(connection.registerService(kService));
    }

    QDBusConnection Client() {
        return QDBusConnection::connectToBus(address_, QStringLiteral("client"));
    }

    test::TempHome home_;
    test::PrivateBus bus_{home_.Root()};
    QString address_;
    QThread serverThread_;
    std::unique_ptr<FakeNotificationServer> server_;
};

TEST_F(DbusNotificationsTest, NotAvailableWithoutTheService) {
    DbusNotifications notifications(Client(), QStringLiteral("Program"));
    EXPECT_FALSE(notifications.Available());
    EXPECT_EQ(notifications.Show(0, "t", "x", 5000), 0u);
}

TEST_F(DbusNotificationsTest, ShowsReplacesClosesAndHearsTheServiceClose) {
    StartServer();
    DbusNotifications notifications(Client(), QStringLiteral("Program"));
    ASSERT_TRUE(notifications.Available());

    const unsigned id =
        notifications.Show(0, "", "Creating virtual port COM7.\nPlease wait...", 5000);
    EXPECT_EQ(id, 7u);
    EXPECT_EQ(notifications.Show(id, "Title", "hidden", 5000), 7u);
    std::vector<FakeNotificationServer::Shown> shown = server_->Notices();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].appName, "Program");
    EXPECT_EQ(shown[0].replaces, 0u);
    EXPECT_EQ(shown[0].summary, "Program") << "an empty title is the program's name";
    EXPECT_EQ(shown[0].body, "Creating virtual port COM7.\nPlease wait...");
    EXPECT_EQ(shown[0].timeout, 5000);
    EXPECT_EQ(shown[1].replaces, 7u);
    EXPECT_EQ(shown[1].summary, "Title");

    notifications.Close(id);
    EXPECT_TRUE(WaitFor([&] { return server_->Closed() == std::vector<uint>{7}; }));

    unsigned closedByService = 0;
    notifications.onClosed = [&](unsigned closed) { closedByService = closed; };
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, kService, QStringLiteral("NotificationClosed"));
    signal << 7u << 1u;
    QDBusConnection::connectToBus(address_, QStringLiteral("server")).send(signal);
    EXPECT_TRUE(WaitFor([&] { return closedByService == 7; }));
}

// A desktop without a tray (stock GNOME): the icon cannot be added, yet a port's notice reaches
// the notification service; without one, nothing fails.
TEST_F(DbusNotificationsTest, WithoutATrayANoticeStillReachesTheService) {
    for (const bool service : {false, true}) {
        if (service) StartServer();
        TrayDesktop desktop;
        desktop.trayAvailable = [] { return false; };
        desktop.balloons = std::make_unique<DbusNotifications>(Client(), QStringLiteral("Program"));
        CTrayIcon icon(130, std::make_unique<QtTrayShell>(std::move(desktop)));
        EXPECT_FALSE(icon.LoadTrayIcon(130));
        EXPECT_EQ(
            icon.ShowBalloon("", "COM5 is ready: /run/user/1000/COM5", kTrayBalloonDesktopTimeout),
            service);
    }
    const std::vector<FakeNotificationServer::Shown> shown = server_->Notices();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].body, "COM5 is ready: /run/user/1000/COM5");
    EXPECT_EQ(shown[0].timeout, -1) << "the desktop's own timeout";
}

}  // namespace
}  // namespace qx

#include "dbus_notifications_test.moc"
