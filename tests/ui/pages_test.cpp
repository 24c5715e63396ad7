// The three pages inside a real main window, on simulated interfaces and real pseudo-terminal
// ports in a private ports directory.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>

#include "app/strings.h"
#include "manager/config_store.h"
#include "platform/autostart.h"
#include "platform/ports_directory.h"
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
#include "ui/accessibility.h"
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
        auto made = MakePtyPortClass(portsDir_);
        ASSERT_TRUE(made) << made.error().message;
        portClass_ = std::move(*made);
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

    std::string PortPath(int number) const { return qx::PortPath(portsDir_, number); }

    // The window's three pages, each with its name for messages and pictures.
    std::array<std::pair<QWidget*, const char*>, 3> Pages() const {
        return {{{window_->StatusPage(), "status"},
                 {window_->PortsPage(), "ports"},
                 {window_->SettingsPage(), "settings"}}};
    }

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

// The window in one language, font size and palette for the time of a test step: message texts
// follow the locale, the templates the window language, so both switch.
class LookScope {
public:
    LookScope(int language, const char* locale, qreal fontScale = 1, bool highContrast = false)
        : savedLocale_(qgetenv("LC_ALL")),
          savedFont_(QApplication::font()),
          savedPalette_(QApplication::palette()) {
        qputenv("LC_ALL", locale);
        SetThreadLanguage(language);
        QFont font = savedFont_;
        font.setPointSizeF(font.pointSizeF() * fontScale);
        QApplication::setFont(font);
        if (highContrast) QApplication::setPalette(HighContrast());
    }
    ~LookScope() {
        SetThreadLanguage(kLangEnglish);
        QApplication::setFont(savedFont_);
        QApplication::setPalette(savedPalette_);
        if (savedLocale_.isNull())
            qunsetenv("LC_ALL");
        else
            qputenv("LC_ALL", savedLocale_);
    }

private:
    // White text on black, as high-contrast themes give.
    static QPalette HighContrast() {
        QPalette palette;
        for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button})
            palette.setColor(role, Qt::black);
        for (QPalette::ColorRole role :
             {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::Light})
            palette.setColor(role, Qt::white);
        palette.setColor(QPalette::Highlight, Qt::yellow);
        palette.setColor(QPalette::HighlightedText, Qt::black);
        return palette;
    }

    QByteArray savedLocale_;
    QFont savedFont_;
    QPalette savedPalette_;
};

struct Look {
    int language;
    const char* locale;
    qreal fontScale;
    bool highContrast;
    const char* name;
};
constexpr Look kLooks[] = {
    {kLangEnglish, "en_US.UTF-8", 1, false, "en"},
    {kLangJapanese, "ja_JP.UTF-8", 1, false, "ja"},
    {kLangEnglish, "en_US.UTF-8", 2, true, "en_2x"},
    {kLangJapanese, "ja_JP.UTF-8", 2, true, "ja_2x"},
};

// What of a control's text its place cuts off, measured with the control's own font; empty when
// the text shows whole.
std::string CutText(const QWidget* control) {
    QString text;
    QSize need;
    if (const auto* label = qobject_cast<const QLabel*>(control)) {
        text = label->text();
        const int flags = (label->wordWrap() ? Qt::TextWordWrap : 0) |
                          (label->buddy() != nullptr ? Qt::TextShowMnemonic : 0);
        need = label->fontMetrics()
                   .boundingRect(QRect(0, 0, label->contentsRect().width(), 100000), flags, text)
                   .size();
        if (need.width() <= label->contentsRect().width() &&
            need.height() <= label->contentsRect().height())
            return {};
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(control)) {
        text = button->text();
        need = button->sizeHint();
        if (need.width() <= button->width() && need.height() <= button->height()) return {};
    } else if (const auto* box = qobject_cast<const QGroupBox*>(control)) {
        text = box->title();
        need = QSize(box->fontMetrics().horizontalAdvance(text), box->fontMetrics().height());
        if (box->minimumSizeHint().width() <= box->width()) return {};
    } else {
        return {};
    }
    return std::string(control->metaObject()->className()) + " \"" + text.toStdString() +
           "\" needs " + std::to_string(need.width()) + "x" + std::to_string(need.height()) +
           ", has " + std::to_string(control->width()) + "x" + std::to_string(control->height());
}

// Every text shown in the window, whole, and in the desktop's colours (no control brings its
// own, which a high-contrast theme could not reach).
void ExpectWholeTextsInThemeColours(QWidget* window, const std::string& where) {
    // A change of text reaches the window through one layout request per level of widgets.
    for (int level = 0; level < 6; ++level) QApplication::processEvents();
    for (const QWidget* control : window->findChildren<QWidget*>()) {
        if (!control->isVisible()) continue;
        const std::string cut = CutText(control);
        EXPECT_TRUE(cut.empty()) << where << ": " << cut;
        EXPECT_FALSE(control->testAttribute(Qt::WA_SetPalette)) << where;
        EXPECT_TRUE(control->styleSheet().isEmpty()) << where;
    }
}

// Every text of the three pages shows whole at the default and at twice the font size, in both
// languages, when it changes while the window is up and when the window is widened or narrowed
// again; the pictures go to QXM_SCREENSHOT_DIR when it is set.
TEST_F(PagesTest, EveryTextShowsWholeAtDefaultAndDoubleFontSize) {
    const QString dir = qEnvironmentVariable("QXM_SCREENSHOT_DIR");
    if (!dir.isEmpty()) QDir().mkpath(dir);
    for (const Look& look : kLooks) {
        LookScope scope(look.language, look.locale, look.fontScale, look.highContrast);
        window_.reset();
        CHVInterface& link = Connect();
        window_->show();
        QApplication::processEvents();
        // The rows' texts grow after the window has taken its size.
        ChoosePorts({3, 4, 0, 0});
        test::RadioProgram cat(PortPath(3));
        ASSERT_TRUE(cat.Configure(9600, 8, test::ProgramParity::kNone, 1));
        ASSERT_TRUE(WaitFor([&] {
            window_->StatusPage()->Refresh();
            return link.ports[kCat].instance && link.ports[kCat].instance->IsOpen().value_or(false);
        }));
        window_->OnInterfacesChanged();
        // The longest text of the page: the PTT/CW row says why it cannot key.
        ASSERT_TRUE(Text(window_->StatusPage(), 1017)
                        .contains(QString::fromStdString(portClass_->Keying().reason)));

        auto* tabs = window_->findChild<QTabWidget*>();
        for (const auto& [page, name] : Pages()) {
            tabs->setCurrentWidget(page);
            ExpectWholeTextsInThemeColours(window_.get(), std::string(look.name) + " " + name);
            if (!dir.isEmpty())
                page->grab().save(QStringLiteral("%1/page_%2_%3.png").arg(dir, name, look.name));
        }
        tabs->setCurrentWidget(window_->StatusPage());
        const int width = window_->width();
        window_->resize(width * 3 / 2, window_->height());
        ExpectWholeTextsInThemeColours(window_.get(), std::string(look.name) + " wide");
        window_->resize(window_->minimumWidth(), window_->height());
        ExpectWholeTextsInThemeColours(window_.get(), std::string(look.name) + " narrow");
        window_.reset();  // ports go before the next look's window makes them again
    }
}

// The names assistive technology gives a widget's controls, by control; a control without a
// name maps to "".
std::vector<std::pair<QWidget*, QString>> ControlNames(const QWidget* root) {
    std::vector<std::pair<QWidget*, QString>> names;
    for (QWidget* control : root->findChildren<QWidget*>()) {
        if (!qobject_cast<QAbstractButton*>(control) && !qobject_cast<QComboBox*>(control))
            continue;
        names.emplace_back(control,
                           QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name));
    }
    return names;
}

void ExpectNamedApart(const std::vector<std::pair<QWidget*, QString>>& names,
                      const std::string& where) {
    std::set<QString> seen;
    for (const auto& [control, name] : names) {
        EXPECT_FALSE(name.isEmpty()) << where << ": " << control->objectName().toStdString();
        EXPECT_TRUE(seen.insert(name).second)
            << where << ": two controls are named " << name.toStdString();
    }
}

// A screen reader tells every control of a page from the others by its name, in both languages:
// the look-alike buttons by their channel, the lists by their captions (which reach them with
// Alt); every English button has its Alt key; each Status row reads as one sentence.
TEST_F(PagesTest, EveryControlHasANameOfItsOwnInBothLanguages) {
    for (const Look& look : {kLooks[0], kLooks[1]}) {  // English and Japanese at the default size
        LookScope scope(look.language, look.locale);
        window_.reset();
        Connect();
        ChoosePorts({3, 4, 0, 0});
        const std::string lang = look.name;
        for (const auto& [page, name] : Pages()) {
            const auto names = ControlNames(page);
            ExpectNamedApart(names, lang + " " + name);
            for (const auto& [control, spoken] : names) {
                auto* list = qobject_cast<QComboBox*>(control);
                if (list == nullptr) continue;
                const auto captions = page->findChildren<QLabel*>();
                const auto caption =
                    std::find_if(captions.begin(), captions.end(),
                                 [&](QLabel* label) { return label->buddy() == list; });
                ASSERT_NE(caption, captions.end()) << lang << " " << spoken.toStdString();
                EXPECT_EQ(SpokenText((*caption)->text()), spoken);
            }
        }
        // Around the pages: the page tabs, the window's menu and "Hide".
        auto* tabs = window_->findChild<QTabWidget*>();
        std::vector<std::pair<QWidget*, QString>> around;
        for (int i = 0; i < tabs->count(); ++i) around.emplace_back(tabs, tabs->tabText(i));
        std::vector<QAbstractButton*> buttons{window_->findChild<QAbstractButton*>("windowMenu"),
                                              FindControl<QAbstractButton>(window_.get(), 2)};
        for (QAbstractButton* button : buttons)
            around.emplace_back(
                button, QAccessible::queryAccessibleInterface(button)->text(QAccessible::Name));
        ExpectNamedApart(around, lang + " window");

        if (look.language == kLangEnglish) {
            for (const auto& [page, name] : Pages()) {
                for (QAbstractButton* button : page->findChildren<QAbstractButton*>())
                    buttons.push_back(button);
            }
            for (QAbstractButton* button : buttons)
                EXPECT_FALSE(QKeySequence::mnemonic(button->text()).isEmpty())
                    << button->text().toStdString();
        }
        const auto rowOf = [&](int portNameId) {
            return FindControl(window_->StatusPage(), portNameId)
                ->parentWidget()
                ->accessibleDescription()
                .toStdString();
        };
        const std::string keying = portClass_->Keying().reason;
        EXPECT_NE(rowOf(1013).find("COM3 " + LoadLocalizedString(118)), std::string::npos)
            << rowOf(1013);
        EXPECT_NE(rowOf(1013).find("CAT"), std::string::npos);
        EXPECT_NE(rowOf(1014).find("COM4"), std::string::npos) << rowOf(1014);
        EXPECT_NE(rowOf(1014).find(keying), std::string::npos) << rowOf(1014);
        EXPECT_NE(rowOf(1015).find(LoadLocalizedString(110)), std::string::npos) << rowOf(1015);
        window_.reset();
    }
}

// The focusable controls of the window in Tab order, from its first one.
std::vector<QWidget*> TabStops(QWidget* window) {
    std::vector<QWidget*> stops;
    for (QWidget* widget = window->nextInFocusChain(); widget != window;
         widget = widget->nextInFocusChain()) {
        if (widget->isVisible() && widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus) &&
            widget->focusProxy() == nullptr)
            stops.push_back(widget);
    }
    return stops;
}

// b comes after a when read from top to bottom and left to right: below it, or beside it on the
// same line to its right.
bool ComesAfter(QWidget* a, QWidget* b) {
    const QRect first(a->mapTo(a->window(), QPoint(0, 0)), a->size());
    const QRect second(b->mapTo(b->window(), QPoint(0, 0)), b->size());
    if (second.top() >= first.bottom()) return true;
    const bool sameLine = second.top() < first.bottom() && first.top() < second.bottom();
    return sameLine && second.left() >= first.right();
}

// Tab visits every control of each page from top to bottom and left to right; Ctrl+Tab and
// Ctrl+PageDown change pages, Alt with a caption's letter reaches its list, Esc hides the window.
TEST_F(PagesTest, TheKeyboardReachesEveryControlInReadingOrder) {
    Connect();
    ChoosePorts({3, 0, 0, 0});  // a path to select in the CAT row, "Add port..." in the others
    window_->OnTimerTick();     // the first tick shows the window
    ASSERT_EQ(window_->State(), WindowState::kShown);
    window_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    auto* tabs = window_->findChild<QTabWidget*>();
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        QApplication::processEvents();
        const std::vector<QWidget*> stops = TabStops(window_.get());
        for (size_t i = 1; i < stops.size(); ++i) {
            EXPECT_TRUE(ComesAfter(stops[i - 1], stops[i]))
                << "page " << page << ": " << stops[i - 1]->objectName().toStdString() << " then "
                << stops[i]->objectName().toStdString();
        }
        for (QWidget* control : tabs->widget(page)->findChildren<QWidget*>()) {
            const bool works =
                qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control);
            if (works && control->isVisible() && control->isEnabled()) {
                EXPECT_NE(std::find(stops.begin(), stops.end(), control), stops.end())
                    << "page " << page << ": " << control->objectName().toStdString();
            }
        }
    }
    EXPECT_EQ(FindControl<QLabel>(window_->StatusPage(), 1040)->focusPolicy(), Qt::StrongFocus);
    EXPECT_EQ(FindControl<QLabel>(window_->StatusPage(), 1041)->focusPolicy(), Qt::NoFocus);

    tabs->setCurrentIndex(0);
    window_->StatusPage()->InterfaceCombo()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_PageDown, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 2);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_EQ(tabs->currentIndex(), 1);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_T, Qt::AltModifier);
    EXPECT_EQ(QApplication::focusWidget(), FindControl(window_->PortsPage(), kPortListIds[kCat]));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(window_->State(), WindowState::kInTray);
}

}  // namespace
}  // namespace qx
