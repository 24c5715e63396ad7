// The three pages inside a real main window, on simulated interfaces and real pseudo-terminal
// ports in a private ports directory.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

#include <chrono>
#include <filesystem>
#include <functional>

#include "app/strings.h"
#include "manager/config_store.h"
#include "platform/autostart.h"
#include "platform/private_profile.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/poll_until.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_environment.h"
#include "tests/ui/qt_test_app.h"
#include "ui/CInterfaceManagerDlg.h"
#include "ui/CPagePorts.h"
#include "ui/CPageSettings.h"
#include "ui/CPageStatus.h"
#include "ui/control_ids.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

using namespace std::chrono_literals;

// Polls cond while serving the window's events, for at most five seconds.
bool WaitFor(const std::function<bool()>& cond) {
    return qx::test::PollUntil(cond, 5s, 2ms, [] { QCoreApplication::processEvents(); });
}

QString Text(QWidget* page, int id) { return FindControl<QLabel>(page, id)->text(); }
bool Shown(QWidget* page, int id) { return !FindControl(page, id)->isHidden(); }

class PagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureQtApplication();
        portsDir_ = environment_.PortsDir();
        std::filesystem::create_directories(portsDir_);
        iniPath_ = LocateIniFile();
        program_.Load();
        portClass_ = MakePtyPortClass(portsDir_);
        ASSERT_NE(portClass_, nullptr);
    }

    void OpenWindow() {
        window_ = std::make_unique<CInterfaceManagerDlg>(hid_, *portClass_, program_);
        window_->messageBox = [this](const QString& text, QMessageBox::Icon icon,
                                     QMessageBox::StandardButtons) {
            questions_.push_back({text, icon});
            return static_cast<int>(answer_);
        };
    }

    // Plugs one simulated interface in, lets it report its channels and shows it.
    CHVInterface& Connect() {
        OpenWindow();
        window_->Manager().Refresh(true);
        CHVInterface* link = window_->Manager().Link(0);
        EXPECT_NE(link, nullptr);
        EXPECT_TRUE(WaitFor(
            [&] { return link->channelPresent[kWinKey].load() && !link->VersionText().empty(); }));
        window_->OnInterfacesChanged();
        return *link;
    }

    // Chooses port numbers on the Ports page (0 keeps a list as it is) and presses "Create/update".
    void ChoosePorts(const std::array<int, kChannelCount>& numbers) {
        CPagePorts* page = window_->PortsPage();
        for (Channel channel : kAllChannels) {
            if (!numbers[channel]) continue;
            auto* list = FindControl<QComboBox>(page, kPortListIds[channel]);
            const int index = list->findData(numbers[channel]);
            ASSERT_GE(index, 0) << "COM" << numbers[channel] << " is not offered";
            list->setCurrentIndex(index);
        }
        FindControl<QPushButton>(page, 1024)->click();
    }

    std::string PortPath(int number) const { return portsDir_ + "/COM" + std::to_string(number); }

    test::TempEnvironment environment_;
    std::string portsDir_;
    std::string iniPath_;
    ProgramSettings program_;
    SimHidBackend hid_{1};
    std::unique_ptr<IVSPortAxClass> portClass_;
    std::unique_ptr<CInterfaceManagerDlg> window_;
    std::vector<std::pair<QString, QMessageBox::Icon>> questions_;
    QMessageBox::StandardButton answer_ = QMessageBox::Yes;
};

TEST_F(PagesTest, WithoutInterfaceEveryPageShowsTheEmptyState) {
    OpenWindow();
    window_->OnInterfacesChanged();
    CPageStatus* status = window_->StatusPage();
    for (int id : {1013, 1014, 1015, 1032})
        EXPECT_EQ(Text(status, id).toStdString(), LoadLocalizedString(110));
    for (int id :
         {1024, 1025, 1026, 1034, 1022, 1021, 1023, 1010, 1016, 1017, 1018, 1033, 1019, 1020})
        EXPECT_FALSE(Shown(status, id)) << id;

    CPagePorts* ports = window_->PortsPage();
    for (int id : {1004, 1005, 1006, 1007}) {
        auto* list = FindControl<QComboBox>(ports, id);
        EXPECT_EQ(list->count(), 1);
        EXPECT_FALSE(list->isEnabled());
    }
    EXPECT_FALSE(FindControl(ports, 1024)->isEnabled());
    EXPECT_TRUE(FindControl(ports, 1025)->isEnabled());
    EXPECT_FALSE(FindControl(window_->SettingsPage(), 1011)->isEnabled());
}

TEST_F(PagesTest, CreateUpdateMakesThePortAndSavesIt) {
    CHVInterface& link = Connect();
    ChoosePorts({7, 0, 0, 0});
    EXPECT_EQ(link.ports[kCat].portNumber, 7);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(PortPath(7))));
    EXPECT_EQ(GetPrivateProfileInt("Interface-" + link.key, "PortCat", -1, iniPath_), 7);

    // The page now offers COM7 as the CAT port's own choice, and not to the other channels.
    auto* cat = FindControl<QComboBox>(window_->PortsPage(), kPortListIds[kCat]);
    EXPECT_EQ(cat->currentText().toStdString(), "COM7" + LoadLocalizedString(122));
    EXPECT_LT(FindControl<QComboBox>(window_->PortsPage(), 1006)->findData(7), 0);

    CPageStatus* status = window_->StatusPage();
    EXPECT_EQ(Text(status, 1013), "COM7");
    EXPECT_EQ(FindControl(status, 1013)->toolTip().toStdString(), PortPath(7));
    // The path stands in the row as text to select, and "Copy path" puts it on the clipboard.
    EXPECT_EQ(Text(status, 1040).toStdString(), PortPath(7));
    EXPECT_TRUE(FindControl<QLabel>(status, 1040)->textInteractionFlags() &
                Qt::TextSelectableByMouse);
    status->CopyPath(kCat);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), PortPath(7));
    EXPECT_EQ(Text(status, 1042), "");
    EXPECT_EQ(Text(status, 1016).toStdString(), LoadLocalizedString(118));
    EXPECT_FALSE(Shown(status, 1024));

    // "not selected" releases the port and stores 0.
    auto* list = FindControl<QComboBox>(window_->PortsPage(), kPortListIds[kCat]);
    list->setCurrentIndex(list->findData(0));
    FindControl<QPushButton>(window_->PortsPage(), 1024)->click();
    EXPECT_EQ(link.ports[kCat].portNumber, 0);
    EXPECT_EQ(GetPrivateProfileInt("Interface-" + link.key, "PortCat", -1, iniPath_), 0);
    EXPECT_EQ(Text(status, 1040), "");
}

TEST_F(PagesTest, SameNumberForTwoChannelsGoesToTheEarlierChannel) {
    CHVInterface& link = Connect();
    ChoosePorts({9, 0, 9, 0});
    EXPECT_NE(link.ports[kCat].instance, nullptr);
    EXPECT_EQ(link.ports[kFsk].portNumber, 9);

    // The CAT port still works for a radio program, whatever became of FSK's attempt.
    test::RadioProgram program(PortPath(9));
    ASSERT_TRUE(program.Valid());
    CPageStatus* status = window_->StatusPage();
    EXPECT_TRUE(WaitFor([&] {
        status->Refresh();
        return Text(status, 1016).startsWith(QString::fromStdString(LoadLocalizedString(111)));
    }));
    if (!link.ports[kFsk].instance) {
        EXPECT_EQ(Text(status, 1018).toStdString(), LoadLocalizedString(117));
    }
}

TEST_F(PagesTest, StatusShowsTheHolderAndItsSettings) {
    CHVInterface& link = Connect();
    ChoosePorts({3, 0, 4, 0});
    ASSERT_NE(link.ports[kCat].instance, nullptr);
    ASSERT_NE(link.ports[kFsk].instance, nullptr);

    test::RadioProgram cat(PortPath(3));
    test::RadioProgram fsk(PortPath(4));
    ASSERT_TRUE(cat.Configure(9600, 8, test::ProgramParity::kNone, 1));
    ASSERT_TRUE(fsk.Configure(45, 5, test::ProgramParity::kNone, 2));

    const QString holder = QString::fromStdString(LoadLocalizedString(111)) + " " +
                           QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    CPageStatus* status = window_->StatusPage();
    const QString baud = QString::fromStdString(LoadLocalizedString(119));
    const QString parameters = QString::fromStdString(LoadLocalizedString(116));
    EXPECT_TRUE(WaitFor([&] {
        status->Refresh();
        return Text(status, 1016) == holder && Text(status, 1018) == holder &&
               Text(status, 1019) == parameters + ": 9600 " + baud + ", 8, N, 1" &&
               Text(status, 1020) == parameters + ": 45 " + baud + ", 5, N, 1.5";
    })) << Text(status, 1016).toStdString()
        << " | " << Text(status, 1019).toStdString() << " | " << Text(status, 1020).toStdString();

    cat.Close();
    EXPECT_TRUE(WaitFor([&] {
        status->Refresh();
        return Text(status, 1016).toStdString() == LoadLocalizedString(118) &&
               Text(status, 1019).isEmpty();
    }));
}

// True once a line report after the first `from` ones carries bit.
bool KeyedAfter(const SimDevice& device, std::size_t from, uint8_t bit) {
    return WaitFor([&] {
        const std::vector<SimReport> reports = device.LineReports();
        for (std::size_t i = from; i < reports.size(); ++i) {
            if (reports[i].bytes[1] & bit) return true;
        }
        return false;
    });
}

TEST_F(PagesTest, TestButtonsKeyPttAndCw) {
    Connect();
    const std::shared_ptr<SimDevice> device = hid_.Device(1);
    std::size_t before = device->LineReports().size();
    FindControl<QPushButton>(window_->StatusPage(), 1021)->click();
    EXPECT_TRUE(KeyedAfter(*device, before, 0x01)) << "PTT";

    before = device->LineReports().size();
    FindControl<QPushButton>(window_->StatusPage(), 1010)->click();
    EXPECT_TRUE(KeyedAfter(*device, before, 0x02)) << "CW";
}

// Each channel's "Add port..." opens the Ports page at that channel's port list.
TEST_F(PagesTest, AddPortOpensThePortChoiceOfItsChannel) {
    Connect();
    auto* tabs = window_->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    const std::array<int, kChannelCount> addPortIds{1024, 1025, 1026, 1034};
    for (Channel channel : kAllChannels) {
        tabs->setCurrentIndex(0);
        auto* button = FindControl<QPushButton>(window_->StatusPage(), addPortIds[channel]);
        ASSERT_TRUE(Shown(window_->StatusPage(), addPortIds[channel])) << channel;
        button->click();
        EXPECT_EQ(tabs->currentWidget(), window_->PortsPage()) << channel;
        auto* list = FindControl<QComboBox>(window_->PortsPage(), kPortListIds[channel]);
        EXPECT_TRUE(list->view()->isVisible())
            << "the list is dropped down for channel " << channel;
        list->hidePopup();
    }
}

TEST_F(PagesTest, RemoveAllPortsAsksThenClearsEveryPort) {
    CHVInterface& link = Connect();
    ChoosePorts({5, 6, 0, 0});
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(PortPath(5))));

    answer_ = QMessageBox::No;
    FindControl<QPushButton>(window_->PortsPage(), 1025)->click();
    EXPECT_EQ(link.ports[kCat].portNumber, 5);

    answer_ = QMessageBox::Yes;
    FindControl<QPushButton>(window_->PortsPage(), 1025)->click();
    ASSERT_EQ(questions_.size(), 2u);
    EXPECT_EQ(questions_[1].first.toStdString(), LoadLocalizedString(123));
    EXPECT_EQ(questions_[1].second, QMessageBox::Warning);
    for (const ChannelPortSlot& slot : link.ports) {
        EXPECT_EQ(slot.portNumber, 0);
        EXPECT_EQ(slot.instance, nullptr);
    }
    EXPECT_EQ(GetPrivateProfileInt("Interface-" + link.key, "PortPttCw", -1, iniPath_), 0);
    EXPECT_TRUE(QDir(QString::fromStdString(portsDir_))
                    .entryList({"COM*"}, QDir::System | QDir::Files)
                    .isEmpty());
}

TEST_F(PagesTest, PortsCheckBoxesFollowTheSettings) {
    Connect();
    program_.removePortsOnDeviceRemoval.value = 0;
    CPagePorts* page = window_->PortsPage();
    page->Refresh();
    auto* removeBox = FindControl<QCheckBox>(page, 1011);
    auto* ignoreBox = FindControl<QCheckBox>(page, 1013);
    EXPECT_FALSE(removeBox->isChecked());
    EXPECT_FALSE(ignoreBox->isChecked());
    EXPECT_FALSE(removeBox->isHidden());

    removeBox->click();
    ignoreBox->click();
    EXPECT_EQ(program_.removePortsOnDeviceRemoval.value, 1);
    EXPECT_EQ(program_.ignoreSerialNumbers.value, 1);
    EXPECT_EQ(GetPrivateProfileInt("Ports", "IgnoreSerialNumbers", -1, iniPath_), 1);

    window_->Settings().showRemovePortsCheckBox.value = 0;
    page->Refresh();
    EXPECT_TRUE(removeBox->isHidden());
    EXPECT_FALSE(ignoreBox->isHidden());

    // The box says, right beside it, when a click takes effect; the note goes with the box.
    auto* note = FindControl<QLabel>(page, 1014);
    EXPECT_FALSE(note->isHidden());
    EXPECT_EQ(note->text().toStdString(), LoadLocalizedString(124));
    EXPECT_NE(note->text().toStdString().find("next start"), std::string::npos);
    window_->Settings().showIgnoreSerialNumbers.value = 0;
    page->Refresh();
    EXPECT_TRUE(note->isHidden());
}

TEST_F(PagesTest, FskInversionReachesTheDevice) {
    CHVInterface& link = Connect();
    const std::shared_ptr<SimDevice> device = hid_.Device(1);
    auto* box = FindControl<QCheckBox>(window_->SettingsPage(), 1011);
    EXPECT_FALSE(box->isChecked());
    box->click();
    EXPECT_EQ(link.fskInverted.load(), 1);
    EXPECT_TRUE(WaitFor([&] { return device->FskInverted() == 1; }));
    window_->SettingsPage()->Refresh();
    EXPECT_TRUE(box->isChecked());
}

TEST_F(PagesTest, FskInversionBelongsToTheSelectedInterfaceOnly) {
    hid_.AddDevice();
    CHVInterface& first = Connect();
    CHVInterface* second = window_->Manager().Link(1);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(WaitFor([&] { return second->channelPresent[kWinKey].load() != 0; }));
    window_->OnInterfacesChanged();

    CPageSettings* page = window_->SettingsPage();
    auto* box = FindControl<QCheckBox>(page, 1011);
    box->click();
    EXPECT_EQ(first.fskInverted.load(), 1);

    // Choosing the other interface on this page selects it everywhere and shows its own state.
    QComboBox* selector = page->InterfaceCombo();
    selector->setCurrentIndex(1);
    emit selector->activated(1);
    EXPECT_EQ(window_->Selected(), 1);
    EXPECT_EQ(window_->StatusPage()->InterfaceCombo()->currentIndex(), 1);
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(second->fskInverted.load(), 0);
}

TEST_F(PagesTest, AutostartBoxFollowsTheEntry) {
    OpenWindow();
    window_->OnInterfacesChanged();
    CPageSettings* page = window_->SettingsPage();
    auto* box = FindControl<QCheckBox>(page, 1027);
    EXPECT_FALSE(box->isChecked());
    box->click();
    EXPECT_TRUE(QueryAutostart("Halvorn QX Manager"));
    page->Refresh();
    EXPECT_TRUE(box->isChecked());

    WriteAutostart("", "Halvorn QX Manager", false);  // removed from outside
    page->Refresh();
    EXPECT_FALSE(box->isChecked());
}

TEST_F(PagesTest, AutostartBoxShowsAnEntryThatCouldNotBeWritten) {
    // A file where the config folder should be: no entry can be made, even by root.
    const std::string blocked = environment_.Root() + "/blocked";
    test::WriteBytes(blocked, "");
    ::setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
    OpenWindow();
    window_->OnInterfacesChanged();
    auto* box = FindControl<QCheckBox>(window_->SettingsPage(), 1027);
    box->click();
    EXPECT_FALSE(QueryAutostart("Halvorn QX Manager"));
    EXPECT_FALSE(box->isChecked());
}

// Pictures of every page in both languages, with the CAT port held open.
TEST_F(PagesTest, Screenshots) {
    const QString dir = qEnvironmentVariable("QXM_SCREENSHOT_DIR");
    if (dir.isEmpty()) GTEST_SKIP() << "QXM_SCREENSHOT_DIR is not set";
    QDir().mkpath(dir);
    const QByteArray savedLocale = qgetenv("LC_ALL");
    for (const auto& [language, locale] :
         {std::pair{kLangEnglish, "en_US.UTF-8"}, std::pair{kLangJapanese, "ja_JP.UTF-8"}}) {
        // Message texts follow the locale, the templates the window language: switch both.
        qputenv("LC_ALL", locale);
        SetThreadLanguage(language);
        const char* suffix = language == kLangJapanese ? "ja" : "en";
        window_.reset();
        CHVInterface& link = Connect();
        ChoosePorts({3, 4, 0, 0});
        test::RadioProgram cat(PortPath(3));
        ASSERT_TRUE(cat.Configure(9600, 8, test::ProgramParity::kNone, 1));
        ASSERT_TRUE(WaitFor([&] {
            window_->StatusPage()->Refresh();
            return link.ports[kCat].instance && link.ports[kCat].instance->IsOpen().value_or(false);
        }));
        window_->OnInterfacesChanged();
        const std::pair<QWidget*, const char*> pages[] = {{window_->StatusPage(), "status"},
                                                          {window_->PortsPage(), "ports"},
                                                          {window_->SettingsPage(), "settings"}};
        for (const auto& [page, name] : pages) {
            const QString file = QStringLiteral("%1/page_%2_%3.png").arg(dir, name, suffix);
            EXPECT_TRUE(page->grab().save(file)) << file.toStdString();
        }
        window_.reset();  // ports go before the next language's window makes them again
    }
    SetThreadLanguage(kLangEnglish);
    if (savedLocale.isNull())
        qunsetenv("LC_ALL");
    else
        qputenv("LC_ALL", savedLocale);
}

}  // namespace
}  // namespace qx
