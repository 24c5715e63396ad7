#include "ui/CTrayIcon.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QKeySequence>
#include <QPainter>
#include <cstdlib>
#include <memory>

#include "app/strings.h"
#include "tests/support/fake_tray_shell.h"
#include "tests/ui/qt_test_app.h"
#include "ui/accessibility.h"
#include "ui/program_icon.h"

namespace qx {
namespace {

using test::FakeTrayLog;
using test::FakeTrayShell;

constexpr int kIcon = 130;

class TrayIconTest : public ::testing::Test {
protected:
    std::unique_ptr<CTrayIcon> Make() {
        auto icon = std::make_unique<CTrayIcon>(kIcon, std::make_unique<FakeTrayShell>(log_));
        icon->AttachWindow([this](int command) { commands_.push_back(command); });
        return icon;
    }

    FakeTrayLog log_;
    std::vector<int> commands_;
};

TEST_F(TrayIconTest, AddsThenModifiesAndRemovesOnlyWhatIsShown) {
    auto icon = Make();
    EXPECT_TRUE(icon->SetTrayIcon(0, nullptr));  // nothing shown: no shell call
    EXPECT_TRUE(log_.calls.empty());

    ASSERT_TRUE(icon->LoadTrayIcon(kIcon));
    ASSERT_EQ(log_.calls.size(), 1u);
    EXPECT_EQ(log_.calls[0].operation, kTrayAdd);
    EXPECT_EQ(log_.calls[0].record.fields, kTrayFieldIcon | kTrayFieldTip | kTrayFieldMessage);
    EXPECT_EQ(log_.calls[0].record.tip, LoadLocalizedString(130));

    EXPECT_TRUE(icon->SetTrayIcon(kIcon, nullptr));
    EXPECT_EQ(log_.calls.back().operation, kTrayModify);

    EXPECT_TRUE(icon->LoadTrayIcon(0));
    EXPECT_EQ(log_.calls.back().operation, kTrayDelete);
    EXPECT_EQ(icon->Record().icon, 0);

    const std::size_t before = log_.calls.size();
    icon.reset();  // already removed: the destructor makes no call
    EXPECT_EQ(log_.calls.size(), before);
}

TEST_F(TrayIconTest, DestructionRemovesTheShownIcon) {
    auto icon = Make();
    icon->LoadTrayIcon(kIcon);
    icon.reset();
    EXPECT_EQ(log_.calls.back().operation, kTrayDelete);
}

TEST_F(TrayIconTest, AFailedCallForgetsTheIconSoTheNextSetAddsItAgain) {
    auto icon = Make();
    icon->LoadTrayIcon(kIcon);
    log_.failing = true;
    EXPECT_FALSE(icon->ShowBalloon("title", "text"));
    EXPECT_EQ(icon->Record().icon, 0);
    log_.failing = false;
    icon->SetTrayIcon(kIcon, nullptr);
    EXPECT_EQ(log_.calls.back().operation, kTrayAdd);

    log_.failing = true;
    EXPECT_FALSE(icon->SetTrayIcon(kIcon, nullptr));
    EXPECT_EQ(icon->Record().icon, 0);
}

// The session started the program before its panel: the icon comes once the tray does, and
// only while the window still wants it.
TEST_F(TrayIconTest, ATrayThatAppearsLaterGetsTheIcon) {
    log_.available = false;
    auto icon = Make();
    EXPECT_FALSE(icon->LoadTrayIcon(kIcon));
    EXPECT_FALSE(icon->Shown());

    log_.available = true;
    log_.calls.clear();
    log_.shell->onTrayAvailable();
    ASSERT_EQ(log_.calls.size(), 1u);
    EXPECT_EQ(log_.calls[0].operation, kTrayAdd);
    EXPECT_EQ(log_.calls[0].record.tip, LoadLocalizedString(130));
    EXPECT_TRUE(icon->Shown());

    log_.shell->onTrayAvailable();  // already shown: no second icon
    EXPECT_EQ(log_.calls.size(), 1u);

    icon->LoadTrayIcon(0);
    log_.calls.clear();
    log_.shell->onTrayAvailable();  // removed on purpose: stays removed
    EXPECT_TRUE(log_.calls.empty());
}

TEST_F(TrayIconTest, BalloonResendsTheIconFieldsWithItsOwn) {
    auto icon = Make();
    icon->LoadTrayIcon(kIcon);
    ASSERT_TRUE(icon->ShowBalloon("Title", "Text"));
    const FakeTrayLog::Call& call = log_.calls.back();
    EXPECT_EQ(call.operation, kTrayModify);
    EXPECT_EQ(call.record.fields,
              kTrayFieldIcon | kTrayFieldTip | kTrayFieldMessage | kTrayFieldInfo);
    EXPECT_EQ(call.record.infoTitle, "Title");
    EXPECT_EQ(call.record.info, "Text");
    EXPECT_EQ(call.record.timeoutMs, 5000u);
    EXPECT_EQ(call.record.infoFlags, kTrayInfoIcon);
}

TEST_F(TrayIconTest, TextsAreCutToTheirFieldsWithoutSplittingCharacters) {
    auto icon = Make();
    const std::string longTip(200, 'x');
    icon->SetTrayIcon(kIcon, &longTip);
    EXPECT_EQ(icon->Record().tip.size(), CTrayIcon::kMaxTip);

    std::string japanese;
    for (int i = 0; i < 100; ++i) japanese += "表";  // 3 bytes each
    icon->ShowBalloon(japanese, japanese);
    EXPECT_EQ(icon->Record().infoTitle, TruncateUtf8(japanese, 63));
    EXPECT_EQ(icon->Record().infoTitle.size(), 63u * 3);
    EXPECT_EQ(icon->Record().info, japanese);  // 100 characters fit in 255
    EXPECT_EQ(TruncateUtf8("ab", 5), "ab");
}

TEST_F(TrayIconTest, MouseMessagesBecomeWindowCommands) {
    auto icon = Make();
    EXPECT_EQ(icon->HandleTrayMessage(kIcon + 1, kTrayLeftDoubleClick), 0);  // another icon
    EXPECT_EQ(icon->HandleTrayMessage(kIcon, 0x201), 0);                     // single click
    EXPECT_TRUE(commands_.empty());

    EXPECT_EQ(icon->HandleTrayMessage(kIcon, kTrayLeftDoubleClick), 1);
    EXPECT_EQ(commands_, std::vector<int>{kCommandShowHide});
    EXPECT_TRUE(log_.menus.empty());

    log_.menuChoice = kCommandExit;
    EXPECT_EQ(icon->HandleTrayMessage(kIcon, kTrayRightButtonUp), 1);
    ASSERT_EQ(log_.menus.size(), 1u);
    ASSERT_EQ(log_.menus[0].size(), 2u);
    EXPECT_EQ(log_.menus[0][0].command, kCommandShowHide);
    EXPECT_EQ(log_.menus[0][1].command, kCommandExit);
    EXPECT_EQ(commands_.back(), kCommandExit);

    log_.menuChoice = 0;  // menu dismissed
    commands_.clear();
    EXPECT_EQ(icon->HandleTrayMessage(kIcon, kTrayRightButtonUp), 1);
    EXPECT_TRUE(commands_.empty());
}

TEST_F(TrayIconTest, TheShellsMessagesReachTheIcon) {
    FakeTrayLog log;
    auto shell = std::make_unique<FakeTrayShell>(log);
    FakeTrayShell* raw = shell.get();
    CTrayIcon icon(kIcon, std::move(shell));
    std::vector<int> commands;
    icon.AttachWindow([&](int command) { commands.push_back(command); });
    raw->onMessage(kIcon, kTrayLeftDoubleClick);
    EXPECT_EQ(commands, std::vector<int>{kCommandShowHide});
}

// The menu follows the window language; each entry has its Alt key and a name of its own for a
// screen reader.
TEST(TrayMenu, FollowsTheWindowLanguageWithAKeyForEachEntry) {
    SetThreadLanguage(kLangJapanese);
    EXPECT_EQ(TrayMenu()[0].text, "表示/非表示(&S)");
    EXPECT_EQ(SpokenText(QString::fromStdString(TrayMenu()[1].text)), "終了");
    SetThreadLanguage(kLangEnglish);
    EXPECT_EQ(TrayMenu()[0].text, "&Show/hide");
    EXPECT_EQ(TrayMenu()[1].text, "E&xit");
    for (int language : {kLangEnglish, kLangJapanese}) {
        SetThreadLanguage(language);
        const std::vector<TrayMenuItem> menu = TrayMenu();
        for (const TrayMenuItem& item : menu)
            EXPECT_FALSE(QKeySequence::mnemonic(QString::fromStdString(item.text)).isEmpty());
        EXPECT_NE(QKeySequence::mnemonic(QString::fromStdString(menu[0].text)),
                  QKeySequence::mnemonic(QString::fromStdString(menu[1].text)));
    }
    SetThreadLanguage(kLangEnglish);
}

// At a panel's sizes the icon must still read: an amber rim that stands out on dark panels, a
// blue tile that stands out on light ones, and white letters that are not lost in scaling. A
// sheet of them on light and dark panels is kept with the screenshots for a person to look at.
TEST(ProgramIcon, ReadsAtThePanelSizesOnLightAndDarkPanels) {
    test::EnsureQtApplication();
    for (int size : {16, 22, 24}) {
        const QImage image = ProgramIcon().pixmap(size).toImage();
        ASSERT_EQ(image.size(), QSize(size, size));
        const auto near = [](QRgb pixel, QColor wanted) {
            return qAlpha(pixel) > 200 && std::abs(qRed(pixel) - wanted.red()) < 48 &&
                   std::abs(qGreen(pixel) - wanted.green()) < 48 &&
                   std::abs(qBlue(pixel) - wanted.blue()) < 48;
        };
        EXPECT_TRUE(near(image.pixel(0, size / 2), QColor(0xff, 0xb0, 0x00))) << size << " rim";
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << size << " a rounded corner";
        int blue = 0, white = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                blue += near(image.pixel(x, y), QColor(0x1f, 0x4e, 0x79));
                white += near(image.pixel(x, y), Qt::white);
            }
        }
        // Letters of a tenth of the area or more stay readable; bold "QX" at this size covers
        // about a fifth.
        EXPECT_GE(white, size * size / 10) << size << " letters";
        EXPECT_GE(blue, size * size / 4) << size << " tile";
    }

    const QString dir = qEnvironmentVariable("QXM_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    QDir().mkpath(dir);
    QImage sheet(3 * 40, 2 * 40, QImage::Format_RGB32);
    QPainter painter(&sheet);
    for (int row = 0; row < 2; ++row) {
        painter.fillRect(0, row * 40, sheet.width(), 40,
                         row == 0 ? QColor(0xef, 0xef, 0xef) : QColor(0x2b, 0x2b, 0x2b));
        int x = 8;
        for (int size : {16, 22, 24}) {
            painter.drawPixmap(x, row * 40 + (40 - size) / 2, ProgramIcon().pixmap(size));
            x += 40;
        }
    }
    painter.end();
    EXPECT_TRUE(sheet.save(dir + "/icon_16_22_24_light_dark.png"));
}

}  // namespace
}  // namespace qx
