#include "app/command_line.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(CommandLine, OnlyTheFirstArgumentChoosesTheModeBySubstringInFixedOrder) {
    EXPECT_EQ(ParseCommandLine({}).mode, StartMode::kNormal);
    EXPECT_EQ(ParseCommandLine({"-s"}).mode, StartMode::kShow);
    EXPECT_EQ(ParseCommandLine({"-mini"}).mode, StartMode::kTray);
    EXPECT_EQ(ParseCommandLine({"-sm"}).mode, StartMode::kShow);
    EXPECT_EQ(ParseCommandLine({"-x"}).mode, StartMode::kExitAll);
    EXPECT_EQ(ParseCommandLine({"-a"}).mode, StartMode::kAutostartOn);
    EXPECT_EQ(ParseCommandLine({"-n"}).mode, StartMode::kAutostartOff);
    EXPECT_EQ(ParseCommandLine({"x-a-x"}).mode, StartMode::kExitAll);
    EXPECT_EQ(ParseCommandLine({"-S"}).mode, StartMode::kNormal);  // case-sensitive
    EXPECT_EQ(ParseCommandLine({"foo", "-x"}).mode, StartMode::kNormal);
}

TEST(CommandLine, SecondStartForwardsHideOnlyWhenTheFirstArgumentContainsDashM) {
    EXPECT_EQ(ForwardedRequest(ParseCommandLine({})), 1);
    EXPECT_EQ(ForwardedRequest(ParseCommandLine({"-s"})), 1);
    EXPECT_EQ(ForwardedRequest(ParseCommandLine({"-m"})), 2);
    EXPECT_EQ(ForwardedRequest(ParseCommandLine({"-sm"})), 1);
    EXPECT_EQ(ForwardedRequest(ParseCommandLine({"-s-m"})), 2);  // shown by -s, yet forwards hide
    EXPECT_EQ(ForwardedRequest(ParseCommandLine({"-s", "-m"})), 1);
}

TEST(CommandLine, LanguageIdIsReadFromTheThirdCharacterOfEveryDashLArgument) {
    EXPECT_EQ(ParseCommandLine({"-l1041"}).languageOverride, 1041);
    EXPECT_EQ(ParseCommandLine({"-m", "-l1041"}).mode, StartMode::kTray);
    EXPECT_EQ(ParseCommandLine({"-m", "-l1041"}).languageOverride, 1041);
    EXPECT_EQ(ParseCommandLine({"-l1041", "-l1033"}).languageOverride, 1033);  // a later one wins
    EXPECT_EQ(ParseCommandLine({"-l1041", "-l0"}).languageOverride, 1041);     // zero is ignored
    EXPECT_EQ(ParseCommandLine({"-l1041", "-lxyz"}).languageOverride, 1041);
    EXPECT_EQ(ParseCommandLine({"-l1041x"}).languageOverride, 1041);
    EXPECT_EQ(ParseCommandLine({"x-l1041"}).languageOverride, 0);  // third character is 'l'
    EXPECT_EQ(ParseCommandLine({"-l"}).languageOverride, 0);
    EXPECT_EQ(ParseCommandLine({"-s"}).languageOverride, 0);
}

TEST(CommandLine, OversizedOrNegativeLanguageIdsAreIgnored) {
    EXPECT_EQ(ParseCommandLine({"-l65536"}).languageOverride, 0);
    EXPECT_EQ(ParseCommandLine({"-l99999999999999999999999"}).languageOverride, 0);
    EXPECT_EQ(ParseCommandLine({"-l-1041"}).languageOverride, 0);
    EXPECT_EQ(ParseCommandLine({"-l65535"}).languageOverride, 65535);
}

TEST(CommandLine, ArgvFormSkipsTheProgramName) {
    const char* argv[] = {"qx-manager", "-m", "-l1041", nullptr};
    const CommandLine parsed = ParseCommandLine(3, argv);
    EXPECT_EQ(parsed.mode, StartMode::kTray);
    EXPECT_EQ(parsed.languageOverride, 1041);
    EXPECT_EQ(ParseCommandLine(1, argv).mode, StartMode::kNormal);
}

}  // namespace
}  // namespace qx
