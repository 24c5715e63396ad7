// The tray shell over Qt, with the desktop's tray and notification service played by the test.
#include "ui/qt_tray_shell.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/poll_until.h"
#include "tests/support/private_bus.h"
#include "tests/support/temp_home.h"
#include "tests/ui/qt_test_app.h"

namespace qx {
namespace {

constexpr unsigned kIconId = 130;

struct BalloonLog {
    struct Shown {
        unsigned replaces;
        std::string title, text;
        unsigned timeoutMs;
    };
    std::vector<Shown> shown;
    std::vector<unsigned> closed;
    bool available = true;
    unsigned nextId = 41;
};

class FakeBalloons final : public BalloonService {
public:
    explicit FakeBalloons(BalloonLog& log) : log_(log) {}
    bool Available() override { return log_.available; }
    unsigned Show(unsigned replaces, const std::string& title, const std::string& text,
                  unsigned timeoutMs) override {
        log_.shown.push_back({replaces, title, text, timeoutMs});
        return replaces != 0 ? replaces : log_.nextId++;
    }
    void Close(unsigned id) override { log_.closed.push_back(id); }

private:
    BalloonLog& log_;
};

class QtTrayShellTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureQtApplication(); }

    std::unique_ptr<QtTrayShell> Make(bool activationToggles = false,
                                      int doubleClickIntervalMs = 400,
                                      std::unique_ptr<TrayWatch> watch = nullptr) {
        TrayDesktop desktop;
        desktop.doubleClickIntervalMs = doubleClickIntervalMs;
        desktop.trayAvailable = [this] {
            ++looks_;
            return trayUp_;
        };
        desktop.watch = std::move(watch);
        desktop.activationToggles = activationToggles;
        auto balloons = std::make_unique<FakeBalloons>(balloonLog_);
        balloons_ = balloons.get();
        desktop.balloons = std::move(balloons);
        auto shell = std::make_unique<QtTrayShell>(std::move(desktop));
        shell->onMessage = [this](unsigned id, int message) { messages_.push_back({id, message}); };
        return shell;
    }

    static TrayRecord Icon() {
        TrayRecord record;
        record.id = kIconId;
        record.fields = kTrayFieldIcon | kTrayFieldTip;
        record.icon = 130;
        record.tip = "tip";
        return record;
    }

    static TrayRecord Balloon(const std::string& title, const std::string& text) {
        TrayRecord record = Icon();
        record.fields |= kTrayFieldInfo;
        record.infoTitle = title;
        record.info = text;
        record.timeoutMs = kTrayBalloonTimeoutMs;
        return record;
    }

    bool trayUp_ = true;
    int looks_ = 0;  // how often the shell asked whether there is a tray
    BalloonLog balloonLog_;
    FakeBalloons* balloons_ = nullptr;
    std::vector<std::pair<unsigned, int>> messages_;
};

// The tray is looked for when the session bus says one may have come: the watcher of
// StatusNotifierItem trays takes its name, or a tray host registers with it. Played on a private
// bus.
TEST_F(QtTrayShellTest, NothingIsAddedWithoutATrayAndALateTrayIsAnnouncedOnce) {
    test::TempHome home;
    test::PrivateBus bus(home.Root());
    ASSERT_FALSE(bus.Address().empty()) << "dbus-daemon did not start";
    const QString address = QString::fromStdString(bus.Address());
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    trayUp_ = false;
    auto shell = Make(false, 400,
                      std::make_unique<TrayWatch>(
                          QDBusConnection::connectToBus(address, QStringLiteral("tray-client"))));
    int announced = 0;
    shell->onTrayAvailable = [&] { ++announced; };
    EXPECT_FALSE(shell->Available());
    EXPECT_FALSE(shell->Notify(kTrayAdd, Icon()));
    EXPECT_TRUE(shell->Notify(kTrayDelete, Icon()));
    const auto lookedAgain = [&] {
        const int before = looks_;
        return test::PollUntil([&] { return looks_ > before; }, std::chrono::seconds(5),
                               std::chrono::milliseconds(1),
                               [] { QCoreApplication::processEvents(); });
    };

    QDBusConnection desktop = QDBusConnection::connectToBus(address, QStringLiteral("tray-server"));
    ASSERT_TRUE(desktop.registerService(watcher));
    ASSERT_TRUE(lookedAgain()) << "the watcher's arrival is not followed";
    EXPECT_EQ(announced, 0) << "a watcher without a tray host is no tray";

    trayUp_ = true;
    const QDBusMessage hostRegistered =
        QDBusMessage::createSignal(QStringLiteral("/StatusNotifierWatcher"), watcher,
                                   QStringLiteral("StatusNotifierHostRegistered"));
    ASSERT_TRUE(desktop.send(hostRegistered));
    ASSERT_TRUE(lookedAgain()) << "a tray host's registration is not followed";
    EXPECT_EQ(announced, 1);
    ASSERT_TRUE(desktop.send(hostRegistered));
    ASSERT_TRUE(lookedAgain());
    EXPECT_EQ(announced, 1) << "a tray that stays is announced once";
    EXPECT_TRUE(shell->Notify(kTrayAdd, Icon()));

    shell.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("tray-server"));
    QDBusConnection::disconnectFromBus(QStringLiteral("tray-client"));
}

TEST_F(QtTrayShellTest, AModifyOfALostIconFails) {
    auto shell = Make();
    EXPECT_FALSE(shell->Notify(kTrayModify, Icon()));
    EXPECT_TRUE(shell->Notify(kTrayAdd, Icon()));
    EXPECT_TRUE(shell->Notify(kTrayModify, Icon()));
}

// A double click toggles everywhere; a single activation toggles only where the tray has no
// double click (StatusNotifierItem), since elsewhere it is the first half of a double click.
TEST_F(QtTrayShellTest, ActivationsBecomeTheIconsMouseMessages) {
    for (bool toggles : {false, true}) {
        messages_.clear();
        auto shell = Make(toggles);
        ASSERT_TRUE(shell->Notify(kTrayAdd, Icon()));
        auto* icon = shell->findChild<QSystemTrayIcon*>();
        ASSERT_NE(icon, nullptr);
        emit icon->activated(QSystemTrayIcon::Trigger);
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        emit icon->activated(QSystemTrayIcon::Context);
        emit icon->activated(QSystemTrayIcon::MiddleClick);
        std::vector<std::pair<unsigned, int>> expected;
        if (toggles) expected.push_back({kIconId, kTrayLeftDoubleClick});
        expected.push_back({kIconId, kTrayLeftDoubleClick});
        expected.push_back({kIconId, kTrayRightButtonUp});
        EXPECT_EQ(messages_, expected) << "activation toggles: " << toggles;
    }
}

// On an XEmbed tray a lone click toggles once the double-click interval has passed; a double
// click (which reports its first click too) toggles exactly once.
TEST_F(QtTrayShellTest, ASingleClickTogglesAfterTheDoubleClickIntervalAndADoubleClickOnce) {
    auto shell = Make(false, 20);
    ASSERT_TRUE(shell->Notify(kTrayAdd, Icon()));
    auto* icon = shell->findChild<QSystemTrayIcon*>();
    const auto eventsUntil = [](const std::function<bool()>& condition) {
        return test::PollUntil(condition, std::chrono::seconds(5), std::chrono::milliseconds(1),
                               [] { QCoreApplication::processEvents(); });
    };
    const std::vector<std::pair<unsigned, int>> oneToggle{{kIconId, kTrayLeftDoubleClick}};
    emit icon->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(messages_.empty());
    ASSERT_TRUE(eventsUntil([&] { return !messages_.empty(); }));
    EXPECT_EQ(messages_, oneToggle);

    messages_.clear();
    emit icon->activated(QSystemTrayIcon::Trigger);
    emit icon->activated(QSystemTrayIcon::DoubleClick);
    bool intervalsPassed = false;
    QTimer::singleShot(100, [&] { intervalsPassed = true; });
    ASSERT_TRUE(eventsUntil([&] { return intervalsPassed; }));
    EXPECT_EQ(messages_, oneToggle);
}

// Each balloon replaces the one up, an empty one closes it, removing the icon closes it, and a
// balloon the service closed by itself is not replaced or closed again.
TEST_F(QtTrayShellTest, BalloonsGoThroughTheNotificationServiceAndCanBeTakenBack) {
    auto shell = Make();
    ASSERT_TRUE(shell->Notify(kTrayAdd, Icon()));
    EXPECT_TRUE(balloonLog_.shown.empty()) << "an icon without a balloon shows none";

    shell->Notify(kTrayModify, Balloon("", "Creating virtual port COM7.\nPlease wait..."));
    shell->Notify(kTrayModify, Balloon("", ""));
    ASSERT_EQ(balloonLog_.shown.size(), 1u);
    EXPECT_EQ(balloonLog_.shown[0].replaces, 0u);
    EXPECT_EQ(balloonLog_.shown[0].timeoutMs, 5000u);
    EXPECT_EQ(balloonLog_.closed, std::vector<unsigned>{41});
    shell->Notify(kTrayModify, Balloon("", ""));  // nothing up: nothing to close
    EXPECT_EQ(balloonLog_.closed.size(), 1u);

    shell->Notify(kTrayModify, Balloon("Title", "hidden"));
    shell->Notify(kTrayModify, Balloon("Title", "hidden"));
    ASSERT_EQ(balloonLog_.shown.size(), 3u);
    EXPECT_EQ(balloonLog_.shown[1].replaces, 0u);
    EXPECT_EQ(balloonLog_.shown[2].replaces, 42u) << "the second hide replaces the first";
    EXPECT_EQ(balloonLog_.shown[2].title, "Title");

    balloons_->onClosed(42);  // expired
    shell->Notify(kTrayModify, Balloon("", ""));
    EXPECT_EQ(balloonLog_.closed.size(), 1u);
    shell->Notify(kTrayModify, Balloon("Title", "again"));
    EXPECT_EQ(balloonLog_.shown.back().replaces, 0u);

    shell->Notify(kTrayDelete, Icon());
    EXPECT_EQ(balloonLog_.closed.back(), 43u);
}

TEST_F(QtTrayShellTest, WithoutANotificationServiceTheTraysOwnMessageIsUsed) {
    balloonLog_.available = false;
    auto shell = Make();
    ASSERT_TRUE(shell->Notify(kTrayAdd, Icon()));
    EXPECT_TRUE(shell->Notify(kTrayModify, Balloon("Title", "text")));
    EXPECT_TRUE(shell->Notify(kTrayModify, Balloon("", "")));
    EXPECT_FALSE(shell->NotifyWithoutIcon(Balloon("Title", "text")));
    EXPECT_TRUE(balloonLog_.shown.empty());
    EXPECT_TRUE(balloonLog_.closed.empty());
}

}  // namespace
}  // namespace qx
