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

TEST(CommandLine, LongSwitchesAreTakenOutBeforeTheSingleDashReading) {
    // "--status" contains "-s" and "--set-port" "-s": neither may read as "show".
    const CommandLine status = ParseCommandLine({"--status", "--json"});
    EXPECT_TRUE(status.status);
    EXPECT_TRUE(status.json);
    EXPECT_EQ(status.mode, StartMode::kNormal);
    const CommandLine setPort = ParseCommandLine({"--set-port", "QX123", "CAT", "5"});
    EXPECT_TRUE(setPort.setPort);
    EXPECT_EQ(setPort.setPortOperands.serial, "QX123");
    EXPECT_EQ(setPort.setPortOperands.channel, "CAT");
    EXPECT_EQ(setPort.setPortOperands.number, "5");
    EXPECT_EQ(setPort.mode, StartMode::kNormal);
    EXPECT_TRUE(setPort.error.empty());
    // The single-dash switches keep their meaning beside long ones, in either order.
    const CommandLine traced = ParseCommandLine({"--trace", "-m", "-l1041"});
    EXPECT_TRUE(traced.trace);
    EXPECT_EQ(traced.mode, StartMode::kTray);
    EXPECT_EQ(traced.languageOverride, 1041);
    EXPECT_TRUE(ForwardedRequest(traced) == 2);
    EXPECT_EQ(ParseCommandLine({"-x", "--trace"}).mode, StartMode::kExitAll);
    EXPECT_TRUE(ParseCommandLine({"--headless"}).headless);
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
    EXPECT_TRUE(ParseCommandLine({"-h"}).help);
    EXPECT_TRUE(ParseCommandLine({"-m", "-h"}).help);
    for (const char* version : {"--version", "-v", "-V"}) {
        const CommandLine line = ParseCommandLine({version});
        EXPECT_TRUE(line.version) << version;
        EXPECT_EQ(line.mode, StartMode::kNormal) << version;
    }
}

TEST(CommandLine, UnknownOrMisusedLongSwitchesGiveOneErrorLine) {
    EXPECT_EQ(ParseCommandLine({"--frobnicate", "--bad"}).error,
              "qx-manager: unrecognized option '--frobnicate'");
    EXPECT_EQ(ParseCommandLine({"--"}).error, "qx-manager: unrecognized option '--'");
    EXPECT_EQ(ParseCommandLine({"--HELP"}).error, "qx-manager: unrecognized option '--HELP'");
    EXPECT_NE(ParseCommandLine({"--set-port", "QX123", "CAT"}).error, "");
    EXPECT_NE(ParseCommandLine({"--json"}).error, "");
    EXPECT_NE(ParseCommandLine({"--headless", "--status"}).error, "");
    for (const auto& args : {std::vector<std::string>{"--help"}, {"-s"}, {"--status", "--json"}})
        EXPECT_EQ(ParseCommandLine(args).error.find('\n'), std::string::npos);
}

TEST(CommandLine, HelpNamesEverySwitchTheSettingsFileAndThePorts) {
    const std::string help = HelpText("/home/u/settings.ini", "/run/user/1000/qx-manager");
    for (const char* part :
         {"-s ", "-m ", "-x ", "-a ", "-n ", "-l<id>", "--headless", "--trace", "--status",
          "--json", "--set-port", "--help", "--version", "QXM_TRACE", "QXM_PORTS_DIR",
          "/home/u/settings.ini", "/run/user/1000/qx-manager/COM<n>"})
        EXPECT_NE(help.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace qx
