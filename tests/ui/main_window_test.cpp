#include "ui/CInterfaceManagerDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <filesystem>
#include <functional>
#include <future>
#include <memory>

#include "app/strings.h"
#include "platform/ports_directory.h"
#include "platform/private_profile.h"
#include "platform/single_instance.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/fake_tray_shell.h"
#include "tests/support/poll_until.h"
#include "tests/support/temp_environment.h"
#include "tests/ui/qt_test_app.h"
#include "ui/CAboutDlg.h"
#include "ui/CPagePorts.h"
#include "ui/CPageSettings.h"
#include "ui/CPageStatus.h"
#include "ui/CTrayIcon.h"
#include "ui/control_ids.h"
#include "ui/main_window_run.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

// Processes events until done() holds, for at most two seconds.
bool WaitFor(const std::function<bool()>& done) {
    return test::PollUntil(done, std::chrono::milliseconds(2000), std::chrono::milliseconds(0),
                           [] { QApplication::processEvents(QEventLoop::AllEvents, 20); });
}

// Runs act on the widget that find() returns once it is up: a menu or a dialog opened by a call
// that blocks until it closes.
void WhenUp(const std::function<QWidget*()>& find, const std::function<void(QWidget*)>& act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, find, act] {
        QWidget* widget = find();
        if (widget == nullptr) return;
        poll->deleteLater();
        poll->stop();
        act(widget);
    });
    poll->start(5);
}

// Chooses the entry at index of the next pop-up menu.
void ChooseInNextMenu(int index) {
    WhenUp([] { return QApplication::activePopupWidget(); },
           [index](QWidget* popup) {
               auto* menu = qobject_cast<QMenu*>(popup);
               ASSERT_NE(menu, nullptr);
               QAction* action = menu->actions().value(index);
               ASSERT_NE(action, nullptr);
               menu->setActiveAction(action);
               menu->close();
               action->trigger();
           });
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureQtApplication();
        LocateIniFile();
        auto made = MakePtyPortClass(*ResolvePortsDirectory());
        ASSERT_TRUE(made) << made.error().message;
        portClass_ = std::move(*made);
    }

    void Build() {
        auto shell = std::make_unique<test::FakeTrayShell>(tray_);
        shell_ = shell.get();
        program_ = std::make_unique<ProgramSettings>();
        window_ = std::make_unique<CInterfaceManagerDlg>(hid_, *portClass_, *program_, nullptr,
                                                         std::move(shell));
        window_->messageBox = [this](const QString& text, QMessageBox::Icon icon,
                                     QMessageBox::StandardButtons) {
            questions_.push_back(text.toStdString());
            lastIcon_ = icon;
            return answer_;
        };
        QObject::connect(window_.get(), &CInterfaceManagerDlg::exitRequested, [this] { ++exits_; });
    }

    // The window's first round, then the manager's start-up scan finds the devices plugged in.
    void StartAndScan() {
        window_->OnTimerTick();
        window_->Manager().Tick(CHVInterfaceManager::Clock::now() +
                                CHVInterfaceManager::kStartupScanDelay);
    }

    // Whether the window's 100 ms refresh runs.
    bool Refreshing() const {
        for (const QTimer* timer : window_->findChildren<QTimer*>())
            if (timer->interval() == 100 && timer->isActive()) return true;
        return false;
    }

    std::vector<QComboBox*> Selectors() const {
        return {FindControl<QComboBox>(window_->StatusPage(), 1012),
                FindControl<QComboBox>(window_->PortsPage(), 1012),
                FindControl<QComboBox>(window_->SettingsPage(), 1012)};
    }

    std::string Ini() const { return env_.IniPath(); }

    // A second start's request, sent from a thread of its own (it waits for the answer) while
    // this thread runs the window; true when the window answered it.
    bool Request(int code) {
        auto answered = std::async(std::launch::async, [this, code] {
            return static_cast<bool>(SendRequest(env_.RuntimeDir(), code, std::chrono::seconds(2)));
        });
        WaitFor([&] {
            return answered.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
        return answered.get();
    }
    std::string PortPath(int number) const { return qx::PortPath(env_.PortsDir(), number); }

    void SaveScreenshot(const char* name) {
        const char* dir = std::getenv("QXM_SCREENSHOT_DIR");
        if (dir == nullptr) return;
        QDir().mkpath(dir);
        window_->grab().save(QString::fromUtf8(dir) + "/" + name);
    }

    test::TempEnvironment env_;
    SimHidBackend hid_;
    std::unique_ptr<IVSPortAxClass> portClass_;
    test::FakeTrayLog tray_;
    test::FakeTrayShell* shell_ = nullptr;
    std::unique_ptr<ProgramSettings> program_;
    std::unique_ptr<CInterfaceManagerDlg> window_;
    std::vector<std::string> questions_;
    QMessageBox::Icon lastIcon_ = QMessageBox::NoIcon;
    int answer_ = QMessageBox::No;
    int exits_ = 0;
};

TEST_F(MainWindowTest, StartsInTheTrayWhenTheSettingsSaySo) {
    WritePrivateProfileString("Appearance", "HideInTray", "1", Ini());
    Build();
    EXPECT_FALSE(window_->isVisible());  // never shown before the first tick
    window_->OnTimerTick();
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    ASSERT_FALSE(tray_.calls.empty());
    EXPECT_EQ(tray_.calls.back().record.infoTitle, LoadLocalizedString(103));
    EXPECT_EQ(tray_.calls.back().record.info, LoadLocalizedString(104));

    // A double click on the icon brings the window up and takes the balloon away.
    shell_->onMessage(130, kTrayLeftDoubleClick);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_EQ(window_->Settings().hideInTray.value, 0);
    EXPECT_EQ(tray_.calls.back().record.info, "");
}

TEST_F(MainWindowTest, WithoutATrayHidingMinimizesSoTheWindowCanComeBack) {
    tray_.available = false;
    WritePrivateProfileString("Appearance", "HideInTray", "1", Ini());
    Build();
    window_->OnTimerTick();
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(window_->isMinimized());

    window_->ToggleWindow();
    EXPECT_EQ(window_->State(), WindowState::kShown);
    EXPECT_FALSE(window_->isMinimized());
}

// The panel came after the program: its icon is added when the tray turns up, and from then on
// hiding hides.
TEST_F(MainWindowTest, ATrayThatAppearsLaterGetsTheIconAndThenTakesTheWindow) {
    tray_.available = false;
    Build();
    window_->OnTimerTick();
    ASSERT_EQ(window_->State(), WindowState::kShown);

    tray_.available = true;
    shell_->onTrayAvailable();
    ASSERT_FALSE(tray_.calls.empty());
    EXPECT_EQ(tray_.calls.back().operation, kTrayAdd);

    window_->reject();
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    EXPECT_FALSE(window_->isVisible());
}

// A tray that refused our icon (or lost it) must not swallow the window.
TEST_F(MainWindowTest, WithoutOurIconShownHidingMinimizesEvenWhenATrayExists) {
    tray_.failing = true;
    Build();
    window_->OnTimerTick();
    window_->reject();
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(window_->isMinimized());
}

// The window system minimizes the window (its title bar button): it goes to the tray.
TEST_F(MainWindowTest, AMinimizeFromTheWindowSystemGoesToTheTray) {
    Build();
    window_->OnTimerTick();
    ASSERT_EQ(window_->State(), WindowState::kShown);
    ASSERT_NE(window_->windowHandle(), nullptr);
    window_->windowHandle()->setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(WaitFor([&] { return window_->State() == WindowState::kInTray; }));
    EXPECT_EQ(window_->Settings().hideInTray.value, 1);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(tray_.calls.back().record.info, LoadLocalizedString(104));
}

// The window's own menu, from the button beside "Hide" and as the context menu: "Minimize to
// tray", "Exit" (asks first), "About".
TEST_F(MainWindowTest, TheWindowMenuMinimizesExitsAndShowsTheAboutBox) {
    Build();
    window_->OnTimerTick();
    auto* button = window_->findChild<QToolButton*>(QStringLiteral("windowMenu"));
    ASSERT_NE(button, nullptr);
    ASSERT_NE(button->menu(), nullptr);
    const QList<QAction*> actions = button->menu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text().toStdString(), LoadLocalizedString(106));
    EXPECT_EQ(actions[1]->text().toStdString(), LoadLocalizedString(108));
    EXPECT_EQ(actions[2]->text().toStdString(), LoadLocalizedString(101));

    actions[0]->trigger();
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    window_->ToggleWindow();

    answer_ = QMessageBox::No;
    actions[1]->trigger();
    EXPECT_EQ(questions_, std::vector<std::string>{LoadLocalizedString(105)});
    EXPECT_EQ(exits_, 0);

    bool aboutShown = false;
    WhenUp([] { return QApplication::activeModalWidget(); },
           [&](QWidget* dialog) {
               aboutShown = qobject_cast<CAboutDlg*>(dialog) != nullptr;
               dialog->close();
           });
    actions[2]->trigger();
    EXPECT_TRUE(aboutShown);

    // The same menu as the window's context menu.
    ChooseInNextMenu(0);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            window_->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(window_.get(), &event);
    EXPECT_EQ(window_->State(), WindowState::kInTray);
}

TEST_F(MainWindowTest, CloseAndHideGoToTheTrayAndNeverEndTheProgram) {
    Build();
    window_->OnTimerTick();
    ASSERT_EQ(window_->State(), WindowState::kShown);

    window_->close();
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    EXPECT_EQ(window_->Settings().hideInTray.value, 1);
    EXPECT_FALSE(window_->isVisible());

    window_->reject();  // "Hide" or Esc while in the tray changes nothing
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    EXPECT_EQ(window_->Settings().hideInTray.value, 1);

    window_->ToggleWindow();
    window_->reject();
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    EXPECT_EQ(exits_, 0);
}

TEST_F(MainWindowTest, WithoutInterfacesEverySelectorAsksForOneAndIsDisabled) {
    Build();
    window_->OnTimerTick();
    EXPECT_EQ(window_->Selected(), 0);
    for (QComboBox* selector : Selectors()) {
        ASSERT_NE(selector, nullptr);
        ASSERT_EQ(selector->count(), 1);
        EXPECT_EQ(selector->itemText(0).toStdString(), "please connect an interface to your PC");
        EXPECT_FALSE(selector->isEnabled());
    }
    window_->SelectInterface(3);  // nothing to select: nothing stored
    EXPECT_EQ(window_->Selected(), 0);
    EXPECT_EQ(window_->Settings().selectedInterface.value, "");
    SaveScreenshot("main_window_no_interface_en.png");
}

TEST_F(MainWindowTest, AnArrivingDeviceShowsInEverySelector) {
    Build();
    window_->OnTimerTick();
    const int number = hid_.AddDevice({}, false);
    hid_.Plug(number);  // the arrival notice starts a scan
    ASSERT_TRUE(WaitFor([&] { return window_->Manager().Count() == 1; }));
    window_->OnTimerTick();
    for (QComboBox* selector : Selectors()) {
        ASSERT_EQ(selector->count(), 1);
        EXPECT_TRUE(selector->itemText(0).startsWith("Halvorn QX-4 (QX4SIM0001"))
            << selector->itemText(0).toStdString();
        EXPECT_TRUE(selector->isEnabled());
    }
    SaveScreenshot("main_window_en.png");

    hid_.Unplug(number);  // the removal notice removes the link
    ASSERT_TRUE(WaitFor([&] { return window_->Manager().Count() == 0; }));
    window_->OnTimerTick();
    EXPECT_FALSE(Selectors()[0]->isEnabled());
}

TEST_F(MainWindowTest, TheChosenInterfaceIsSelectedAgainAfterARestart) {
    hid_.AddDevice();
    hid_.AddDevice();
    Build();
    StartAndScan();
    ASSERT_EQ(window_->Manager().Count(), 2);
    window_->SelectInterface(1);
    EXPECT_EQ(window_->Selected(), 1);
    EXPECT_EQ(Selectors()[2]->currentIndex(), 1);
    window_->SelectInterface(7);  // past the end: the last one
    EXPECT_EQ(window_->Selected(), 1);

    window_.reset();  // writes the window's settings
    Build();
    StartAndScan();
    EXPECT_EQ(window_->Selected(), 1);
    EXPECT_EQ(Selectors()[0]->currentIndex(), 1);
}

TEST_F(MainWindowTest, ExitAsksFirstThenRemovesEveryLinkAndSavesItsSection) {
    WritePrivateProfileString("Interface-QX4SIM0001", "PortCat", "5", Ini());
    hid_.AddDevice();
    Build();
    StartAndScan();
    ASSERT_EQ(window_->Manager().Count(), 1);
    ASSERT_TRUE(std::filesystem::is_symlink(PortPath(5)));

    answer_ = QMessageBox::No;
    window_->ExitWithConfirmation();
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_EQ(questions_[0], LoadLocalizedString(105));
    EXPECT_EQ(lastIcon_, QMessageBox::Warning);
    EXPECT_EQ(window_->State(), WindowState::kShown);
    EXPECT_EQ(window_->Manager().Count(), 1);
    EXPECT_EQ(exits_, 0);

    // The tray menu's "Exit" asks the same question.
    answer_ = QMessageBox::Yes;
    tray_.menuChoice = kCommandExit;
    shell_->onMessage(130, kTrayRightButtonUp);
    EXPECT_EQ(questions_.size(), 2u);
    EXPECT_EQ(exits_, 1);
    EXPECT_EQ(window_->State(), WindowState::kEnding);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(window_->Manager().Count(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(PortPath(5))));
    EXPECT_EQ(GetPrivateProfileString("Interface-QX4SIM0001", "ModelName", "", Ini()), "QX-4");
    EXPECT_EQ(GetPrivateProfileInt("Interface-QX4SIM0001", "PortCat", 0, Ini()), 5);

    window_->OnTimerTick();  // an ended window scans no more
    window_->Manager().Tick();
    EXPECT_EQ(window_->Manager().Count(), 0);
}

// The Status page's Test buttons key the device; every way out of the program ends the tests and
// leaves it told CW off, then PTT off. -x, SIGTERM and SIGINT all come in as the exit request.
TEST_F(MainWindowTest, ExitEndsRunningTestsWithTheDeviceUnkeyed) {
    const std::function<void(CInterfaceManagerDlg&)> ways[] = {
        [this](CInterfaceManagerDlg& window) {
            answer_ = QMessageBox::Yes;
            window.ExitWithConfirmation();
        },
        [](CInterfaceManagerDlg& window) { window.HandleInstanceRequest(kRequestExit); },
    };
    hid_.AddDevice();
    const auto device = hid_.Device(1);
    for (const auto& exit : ways) {
        const std::size_t before = device->LineReports().size() + 2;  // the start releases
        Build();
        StartAndScan();
        ASSERT_EQ(window_->Manager().Count(), 1);
        ASSERT_TRUE(WaitFor([&] { return device->LineReports().size() == before; }));
        FindControl<QPushButton>(window_->StatusPage(), 1021)->click();  // PTT Test
        FindControl<QPushButton>(window_->StatusPage(), 1010)->click();  // CW Test
        ASSERT_TRUE(WaitFor([&] { return device->LineReports().size() == before + 2; }));
        exit(*window_);
        const auto lines = device->LineReports();
        ASSERT_EQ(lines.size(), before + 4);
        EXPECT_EQ(lines[before + 2].bytes[1], 0x01);
        EXPECT_EQ(lines[before + 3].bytes[1], 0x00);
        window_.reset();
    }
}

// Hidden, the window sleeps until the manager has news or timed work: the interface's version,
// learned by its worker, still reaches the selectors. Shown, the pages are refreshed.
TEST_F(MainWindowTest, TheRefreshRunsOnlyWhileTheWindowIsShownAndNewsWakesItHidden) {
    WritePrivateProfileString("Appearance", "HideInTray", "1", Ini());
    hid_.AddDevice();
    Build();
    EXPECT_TRUE(Refreshing()) << "the first round comes from it";
    StartAndScan();
    ASSERT_EQ(window_->State(), WindowState::kInTray);
    EXPECT_FALSE(Refreshing());
    ASSERT_TRUE(test::PollUntil([&] { return Selectors()[0]->itemText(0).contains("v.1.0.5"); },
                                std::chrono::seconds(10), std::chrono::milliseconds(0),
                                [] { QApplication::processEvents(QEventLoop::AllEvents, 20); }))
        << Selectors()[0]->itemText(0).toStdString();
    window_->ToggleWindow();
    EXPECT_TRUE(Refreshing());
    window_->reject();
    EXPECT_FALSE(Refreshing());
}

TEST_F(MainWindowTest, RequestsOfASecondStartShowHideAndExitWithoutAsking) {
    auto instance = SingleInstance::Acquire(env_.RuntimeDir());
    ASSERT_TRUE(instance);
    Build();
    window_->WatchInstanceRequests(**instance);
    window_->OnTimerTick();
    ASSERT_EQ(window_->State(), WindowState::kShown);

    // Each request is answered once the window has handled it.
    ASSERT_TRUE(Request(kRequestHide));
    EXPECT_EQ(window_->State(), WindowState::kInTray);
    ASSERT_TRUE(Request(kRequestShow));
    EXPECT_EQ(window_->State(), WindowState::kShown);
    ASSERT_TRUE(Request(kRequestShow));  // already shown: stays
    ASSERT_TRUE(Request(kRequestExit));
    EXPECT_EQ(exits_, 1);
    EXPECT_TRUE(questions_.empty());
    EXPECT_TRUE(window_->isVisible());  // request 3 does not hide the window first
    // Ending: a later start is not answered, so it waits for this run to end and then runs.
    EXPECT_FALSE(Request(kRequestShow));
    EXPECT_TRUE(IsRunHeld(env_.RuntimeDir()));
}

TEST_F(MainWindowTest, NoticesGoToTheTrayBalloonOrADesktopNotificationElseToAMessageBox) {
    Build();
    window_->ShowNotice("The settings cannot be saved");
    EXPECT_EQ(tray_.calls.back().record.info, "The settings cannot be saved");
    EXPECT_TRUE(questions_.empty());
    tray_.available = false;
    window_->ShowNotice("The settings cannot be saved");
    ASSERT_EQ(tray_.notices.size(), 1u);
    EXPECT_EQ(tray_.notices[0].info, "The settings cannot be saved");
    EXPECT_TRUE(questions_.empty());
    tray_.notifications = false;
    window_->ShowNotice("The settings cannot be saved");
    EXPECT_EQ(questions_, std::vector<std::string>{"The settings cannot be saved"});
    EXPECT_EQ(lastIcon_, QMessageBox::Warning);
}

// Stock GNOME has no tray: the ports' notices go out as desktop notifications all the same, but
// the hint to double click the icon does not.
TEST_F(MainWindowTest, WithoutATrayThePortsAreAnnouncedAndNoIconIsPointedAt) {
    tray_.available = false;
    WritePrivateProfileString("Interface-QX4SIM0001", "PortCat", "5", Ini());
    WritePrivateProfileString("Appearance", "HideInTray", "1", Ini());
    hid_.AddDevice();
    Build();
    StartAndScan();
    QCoreApplication::processEvents();
    ASSERT_FALSE(tray_.notices.empty());
    EXPECT_EQ(tray_.notices.back().info,
              "COM5 is ready: " + portClass_->PortsDirectory() + "/COM5");
    for (const TrayRecord& notice : tray_.notices) EXPECT_NE(notice.info, LoadLocalizedString(104));
}

// A settings file that cannot be written at exit: the balloons of the ports let go, then the
// icon's end, would take a balloon away at once. An exit from the window says it in a box; an
// exit asked for from outside (-x, a signal) leaves it to standard error and the journal.
TEST_F(MainWindowTest, ASaveThatFailsAtExitIsShownInABoxOnlyOnAnExitFromTheWindow) {
    hid_.AddDevice();
    for (const bool fromWindow : {true, false}) {
        std::filesystem::remove_all(Ini());
        LocateIniFile();
        Build();
        StartAndScan();
        ASSERT_EQ(window_->Manager().Count(), 1);
        questions_.clear();
        std::filesystem::remove(Ini());
        std::filesystem::create_directory(Ini());  // every write now fails
        SetSaveFailureHandler([this](const std::string&, int) { window_->ShowNotice("unsaved"); });
        answer_ = QMessageBox::Yes;
        if (fromWindow)
            window_->ExitWithConfirmation();
        else
            window_->HandleInstanceRequest(kRequestExit);
        SetSaveFailureHandler(nullptr);
        EXPECT_EQ(exits_, fromWindow ? 1 : 2);
        const std::vector<std::string> boxes =
            fromWindow ? std::vector<std::string>{LoadLocalizedString(105), "unsaved"}
                       : std::vector<std::string>{};
        EXPECT_EQ(questions_, boxes) << fromWindow;
        for (const auto& call : tray_.calls) EXPECT_NE(call.record.info, "unsaved") << fromWindow;
        window_.reset();
    }
}

TEST_F(MainWindowTest, PortOperationsShowTheirProgressInTheBalloon) {
    Build();
    window_->OnPortOperation(1, 7);
    EXPECT_EQ(tray_.calls.back().record.info, "Creating virtual port COM7.\nPlease wait...");
    program_->removePortsOnDeviceRemoval.value = 0;
    window_->OnPortOperation(2, 7);  // ports kept on removal: nothing to announce
    EXPECT_EQ(tray_.calls.back().record.info, "");
    EXPECT_EQ(window_->OnPortOperation(2, 7), 0);
}

TEST_F(MainWindowTest, ACreatedPortIsAnnouncedReadyInPlaceOfItsBalloonAndAFailureStays) {
    WritePrivateProfileString("Interface-QX4SIM0001", "PortCat", "5", Ini());
    hid_.AddDevice();
    Build();
    StartAndScan();
    ASSERT_EQ(window_->Manager().Count(), 1);
    QCoreApplication::processEvents();
    const TrayRecord& ready = tray_.calls.back().record;
    EXPECT_EQ(ready.info, "COM5 is ready: " + portClass_->PortsDirectory() + "/COM5");
    EXPECT_EQ(ready.timeoutMs, kTrayBalloonDesktopTimeout);

    window_->OnPortOperation(kPortOperationCreating, 9);
    window_->OnPortOperation(kPortOperationDone, 9);
    QCoreApplication::processEvents();
    EXPECT_EQ(tray_.calls.back().record.info, "COM9 cannot be created.");
    EXPECT_EQ(tray_.calls.back().record.timeoutMs, kTrayBalloonStays);
}

// Qt's own texts, which a screen reader reads too, follow the windows' language.
TEST_F(MainWindowTest, QtsOwnTextsFollowTheWindowsLanguage) {
    EXPECT_EQ(InstallQtTranslations(kLangEnglish), nullptr);
    if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ja.qm"))
        GTEST_SKIP() << "Qt's translations (qt6-translations-l10n) are not installed";
    const std::unique_ptr<QTranslator> japanese = InstallQtTranslations(kLangJapanese);
    ASSERT_NE(japanese, nullptr);
    for (const auto& [context, text] :
         {std::pair{"QTabBar", "Scroll Left"}, std::pair{"QTabBar", "Scroll Right"},
          std::pair{"QPlatformTheme", "Cancel"}})
        EXPECT_NE(QCoreApplication::translate(context, text), QString::fromUtf8(text)) << text;
}

TEST_F(MainWindowTest, JapaneseScreenshot) {
    SetThreadLanguage(kLangJapanese);
    hid_.AddDevice();
    Build();
    StartAndScan();
    EXPECT_EQ(window_->Manager().Count(), 1);
    SaveScreenshot("main_window_ja.png");
    SetThreadLanguage(kLangEnglish);
}

}  // namespace
}  // namespace qx
