#include "app/window_rules.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace qx {
namespace {

TEST(WindowRules, SelectorEntryShowsTheVersionOnlyWithExactlyTwoDots) {
    EXPECT_EQ(SelectorEntryText("Maker", "QX-4", "1234", "1.0.5"), "Maker QX-4 (1234, v.1.0.5)");
    EXPECT_EQ(SelectorEntryText("Maker", "QX-4", "1234", "1.0"), "Maker QX-4 (1234)");
    EXPECT_EQ(SelectorEntryText("Maker", "QX-4", "1234", ""), "Maker QX-4 (1234)");
    EXPECT_EQ(SelectorEntryText("Maker", "QX-4", "1234", "1.0.5.2"), "Maker QX-4 (1234)");
    EXPECT_EQ(SelectorEntryText("", "QX-4", "", ".."), " QX-4 (, v...)");
}

TEST(WindowRules, SelectionIsClampedToTheList) {
    EXPECT_EQ(ClampSelection(0, 0), 0);
    EXPECT_EQ(ClampSelection(5, 0), 0);
    EXPECT_EQ(ClampSelection(-1, 0), 0);
    EXPECT_EQ(ClampSelection(5, 3), 2);
    EXPECT_EQ(ClampSelection(3, 3), 2);
    EXPECT_EQ(ClampSelection(1, 3), 1);
    EXPECT_EQ(ClampSelection(-1, 3), -1);
    EXPECT_EQ(ClampSelection(-7, 3), -1);
}

TEST(WindowRules, StoredSelectionFindsItsLinkAgainAfterARebuild) {
    const std::vector<std::string> forms = {StoredSelectionText("QX-4", "A1"),
                                            StoredSelectionText("QX-4", "B2"),
                                            StoredSelectionText("QX-4", "B2")};
    EXPECT_EQ(forms[1], "QX-4 (B2)");
    EXPECT_EQ(SelectionAfterRebuild(0, forms, "QX-4 (B2)"), 1);  // first match in list order
    EXPECT_EQ(SelectionAfterRebuild(2, forms, "QX-4 (A1)"), 0);
    EXPECT_EQ(SelectionAfterRebuild(7, forms, "QX-4 (b2)"), 2);  // keys are case-sensitive
    EXPECT_EQ(SelectionAfterRebuild(1, forms, ""), 1);
    EXPECT_EQ(SelectionAfterRebuild(1, {}, "QX-4 (A1)"), 0);
    // A device without a serial number has the empty key and is still found.
    EXPECT_EQ(SelectionAfterRebuild(0, {"QX-4 (A1)", "QX-4 ()"}, StoredSelectionText("QX-4", "")),
              1);
}

class BalloonText : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("LC_ALL");
        if (old) saved_ = old;
        hadValue_ = old != nullptr;
        ::setenv("LC_ALL", "en_US.UTF-8", 1);
    }
    void TearDown() override {
        if (hadValue_)
            ::setenv("LC_ALL", saved_.c_str(), 1);
        else
            ::unsetenv("LC_ALL");
    }

private:
    std::string saved_;
    bool hadValue_ = false;
};

TEST_F(BalloonText, FollowsTheKindAndTheRemovalSetting) {
    EXPECT_EQ(PortOperationBalloonText(0, 5, 1), "");
    EXPECT_EQ(PortOperationBalloonText(1, 5, 0), "Creating virtual port COM5.\nPlease wait...");
    EXPECT_EQ(PortOperationBalloonText(1, 255, 1), "Creating virtual port COM255.\nPlease wait...");
    EXPECT_EQ(PortOperationBalloonText(2, 7, 1), "Deleting virtual port COM7.\nPlease wait...");
    EXPECT_EQ(PortOperationBalloonText(2, 7, 0), "");
    EXPECT_EQ(PortOperationBalloonText(3, 7, 1), "");
    EXPECT_EQ(PortOperationBalloonText(-1, 7, 1), "");
}

TEST_F(BalloonText, IsJapaneseForAJapaneseUser) {
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(PortOperationBalloonText(1, 5, 0),
              "仮想ポート COM5 を作成しています。\nしばらくお待ちください...");
}

// Readiness expires by itself; any failure among the ports keeps the balloon up.
TEST_F(BalloonText, CreatedPortsAreReadyWithTheirPathsAndAFailureStays) {
    using Ports = std::vector<std::pair<int, std::string>>;
    const struct {
        Ports ports;
        std::string text;
        bool stays;
    } cases[] = {
        {{{5, "/run/p/COM5"}}, "COM5 is ready: /run/p/COM5", false},
        {{{5, ""}}, "COM5 cannot be created.", true},
        {{{5, "/run/p/COM5"}, {6, ""}},
         "COM5 is ready: /run/p/COM5\nCOM6 cannot be created.",
         true},
    };
    for (const auto& c : cases) {
        const CreatedPortsBalloon balloon = CreatedPortsBalloonText(c.ports);
        EXPECT_EQ(balloon.text, c.text);
        EXPECT_EQ(balloon.stays, c.stays) << c.text;
    }
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(CreatedPortsBalloonText({{5, "/run/p/COM5"}}).text,
              "COM5 の準備ができました: /run/p/COM5");
}

using enum WindowEvent;
using enum WindowOperation;
using enum WindowState;

void ExpectTransition(WindowState state, int hideInTray, WindowEvent event, WindowState nextState,
                      int nextHideInTray, WindowOperation operation) {
    const WindowTransition t = ApplyWindowEvent(state, hideInTray, event);
    EXPECT_EQ(t.state, nextState);
    EXPECT_EQ(t.hideInTray, nextHideInTray);
    EXPECT_EQ(t.operation, operation);
}

TEST(WindowStates, FirstTickShowsOrHidesAsStoredWithoutChangingTheSetting) {
    ExpectTransition(kStarting, 0, kFirstTick, kShown, 0, kShowMainWindow);
    ExpectTransition(kStarting, 1, kFirstTick, kInTray, 1, kHideToTray);
    ExpectTransition(kStarting, 5, kFirstTick, kInTray, 5, kHideToTray);
}

TEST(WindowStates, ToggleCloseAndMinimizeFlipTheWindow) {
    for (WindowEvent event : {kToggle, kSysClose, kSysMinimize}) {
        ExpectTransition(kShown, 0, event, kInTray, 1, kHideToTray);
        ExpectTransition(kInTray, 1, event, kShown, 0, kShowMainWindow);
        ExpectTransition(kInTray, 5, event, kShown, 0, kShowMainWindow);
    }
}

TEST(WindowStates, HideButtonOnlyActsWhileShown) {
    ExpectTransition(kShown, 0, kHideButton, kInTray, 1, kHideToTray);
    ExpectTransition(kInTray, 1, kHideButton, kInTray, 1, kNone);
}

TEST(WindowStates, SecondStartRequests) {
    ExpectTransition(kInTray, 1, kRequestShow, kShown, 0, kShowMainWindow);
    ExpectTransition(kShown, 0, kRequestShow, kShown, 0, kNone);
    ExpectTransition(kShown, 0, kRequestHide, kInTray, 1, kHideToTray);
    ExpectTransition(kInTray, 1, kRequestHide, kInTray, 1, kNone);
    ExpectTransition(kShown, 0, kRequestExit, kEnding, 0, kEnd);  // no question, not hidden
    ExpectTransition(kInTray, 1, kRequestExit, kEnding, 1, kEnd);
    EXPECT_EQ(RequestEvent(1), kRequestShow);
    EXPECT_EQ(RequestEvent(2), kRequestHide);
    EXPECT_EQ(RequestEvent(3), kRequestExit);
    EXPECT_FALSE(RequestEvent(0));
    EXPECT_FALSE(RequestEvent(4));
}

TEST(WindowStates, ExitAsksFirstAndEndsOnlyWhenConfirmed) {
    ExpectTransition(kShown, 0, kExitRequested, kShown, 0, kConfirmExit);
    ExpectTransition(kInTray, 1, kExitRequested, kInTray, 1, kConfirmExit);
    ExpectTransition(kShown, 0, kExitDeclined, kShown, 0, kNone);
    ExpectTransition(kShown, 0, kExitConfirmed, kEnding, 0, kHideAndEnd);
}

TEST(WindowStates, NothingHappensOnceEnding) {
    for (WindowEvent event : {kFirstTick, kToggle, kHideButton, kSysClose, kRequestShow,
                              kRequestExit, kExitRequested, kExitConfirmed})
        ExpectTransition(kEnding, 1, event, kEnding, 1, kNone);
}

}  // namespace
}  // namespace qx
