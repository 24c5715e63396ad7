#include "ui/CAboutDlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QRegularExpression>

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

    // A refused worker's line keeps the cause.
    const SchedulingOutcome refused{Scheduling::kNormal, true,
                                    "SCHED_FIFO: Operation not permitted"};
    EXPECT_EQ(
        CAboutDlg::SchedulingText(refused),
        "Link workers: normal priority (SCHED_FIFO: Operation not permitted), timer slack 1 ns");
    EXPECT_EQ(CAboutDlg::SchedulingText({Scheduling::kRealtimeKit, false, ""}),
              "Link workers: real-time (RealtimeKit)");
}

}  // namespace
}  // namespace qx
