#include "ui/CAboutDlg.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QLabel>
#include <QRegularExpression>
#include <set>
#include <tuple>
#include <vector>

#include "app/strings.h"
#include "app/version.h"
#include "tests/support/fake_port.h"
#include "tests/ui/qt_test_app.h"
#include "ui/control_ids.h"

namespace qx {
namespace {

TEST(AboutBox, ShowsNameVersionBuildDateAndThePortComponent) {
    test::EnsureQtApplication();
    const QString date = CAboutDlg::BuildDate();
    EXPECT_TRUE(QRegularExpression("^[A-Z][a-z]{2} [0-3][0-9] [0-9]{4}$").match(date).hasMatch())
        << date.toStdString();
    const QString expected =
        QString::fromStdString(LoadLocalizedString(102) + " " + GetVersionText()) + "  (" + date +
        ")";
    EXPECT_EQ(CAboutDlg::AboutText(), expected);

    test::FakePortClass ports("/run/user/1000/qx-manager");
    CAboutDlg about(ports);
    auto* text = FindControl<QLabel>(&about, 1000);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text(), expected);
    EXPECT_NE(FindControl(&about, 1), nullptr);  // OK
    const QString component = CAboutDlg::PortComponentText(ports);
    EXPECT_TRUE(component.contains("fake"));
    EXPECT_TRUE(component.contains("/run/user/1000/qx-manager"));

    // Plain words in both languages; a refusal keeps its cause.
    const SchedulingOutcome refused{Scheduling::kNormal, true,
                                    "SCHED_FIFO: Operation not permitted"};
    const SchedulingOutcome granted{Scheduling::kFifo, true, ""};
    for (const auto& [language, outcome, expected] :
         std::vector<std::tuple<int, SchedulingOutcome, QString>>{
             {kLangEnglish, refused,
              "Real-time priority: not granted (SCHED_FIFO: Operation not permitted); precise "
              "timers: on"},
             {kLangEnglish, granted, "Real-time priority: granted; precise timers: on"},
             {kLangJapanese, granted,
              "リアルタイム優先度: 許可されました、正確なタイマー: 有効"}}) {
        SetThreadLanguage(language);
        EXPECT_EQ(CAboutDlg::SchedulingText(outcome), expected);
    }
    EXPECT_EQ(CAboutDlg::PortKindText("pseudo-terminal"), "疑似端末");
    // The build date follows the window language; the licence names the project's address.
    EXPECT_TRUE(QRegularExpression("^[0-9]{4}年[0-9]{1,2}月[0-9]{1,2}日$")
                    .match(CAboutDlg::BuildDate())
                    .hasMatch())
        << CAboutDlg::BuildDate().toStdString();
    EXPECT_TRUE(CAboutDlg::LicenceText().contains("GPL"));
    EXPECT_TRUE(CAboutDlg::LicenceText().contains("https://halvorn.com/qx-manager"));
    SetThreadLanguage(kLangEnglish);
    EXPECT_EQ(CAboutDlg::PortKindText("pseudo-terminal"), "pseudo-terminal");
}

// A screen reader finds every line and the button of the box by a name of its own, in both
// languages.
TEST(AboutBox, EveryControlHasANameOfItsOwn) {
    test::EnsureQtApplication();
    test::FakePortClass ports("/run/user/1000/qx-manager");
    for (int language : {kLangEnglish, kLangJapanese}) {
        SetThreadLanguage(language);
        CAboutDlg about(ports);
        std::set<QString> names;
        for (QWidget* control : about.findChildren<QWidget*>()) {
            if (!qobject_cast<QLabel*>(control) && !qobject_cast<QAbstractButton*>(control))
                continue;
            const QString name =
                QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name);
            EXPECT_FALSE(name.isEmpty()) << language;
            EXPECT_TRUE(names.insert(name).second) << name.toStdString();
        }
        EXPECT_GE(names.size(), 3u);  // the name and version, the ports, OK
    }
    SetThreadLanguage(kLangEnglish);
}

}  // namespace
}  // namespace qx
