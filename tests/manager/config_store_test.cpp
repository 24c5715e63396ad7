#include "manager/config_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "platform/private_profile.h"
#include "tests/support/temp_home.h"

namespace qx {
namespace {

using test::ReadBytes;
using test::Utf16;
using test::WriteBytes;

class ConfigStore : public ::testing::Test {
protected:
    test::TempHome home;
    std::string ini = LocateIniFile();

    std::optional<std::string> Stored(const std::string& section, const std::string& key) {
        const std::string value = GetPrivateProfileString(section, key, "\x01", ini);
        return value == "\x01" ? std::nullopt : std::optional<std::string>(value);
    }

    // Sets the file's modification time far in the past, so any rewrite shows.
    void Age() {
        const timespec times[2] = {{1000000, 0}, {1000000, 0}};
        ::utimensat(AT_FDCWD, ini.c_str(), times, 0);
    }
    time_t ModifiedAt() {
        struct stat info {};
        ::stat(ini.c_str(), &info);
        return info.st_mtim.tv_sec;
    }
};

TEST_F(ConfigStore, FirstRunCreatesTheFoldersAndAnEmptyUtf16File) {
    const std::string folder = home.DataHome() + "/Halvorn/QX Manager";
    EXPECT_EQ(ini, folder + "/QX Manager.ini");
    EXPECT_EQ(ProfileFile(), ini);
    EXPECT_EQ(ReadBytes(ini), "\xFF\xFE");
    EXPECT_EQ(std::filesystem::current_path(), folder);

    // A second start finds the file and leaves it alone.
    WriteBytes(ini, Utf16("[Ports]\r\n"));
    EXPECT_EQ(LocateIniFile(), ini);
    EXPECT_EQ(ReadBytes(ini), Utf16("[Ports]\r\n"));
}

TEST_F(ConfigStore, WithoutXdgDataHomeTheFileLivesUnderLocalShare) {
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(LocateIniFile(), home.Root() + "/.local/share/Halvorn/QX Manager/QX Manager.ini");
    EXPECT_EQ(ReadBytes(ProfileFile()), "\xFF\xFE");
}

// The user hears once per run that changes cannot be saved; later saves still try, and the
// file is written once it can be again.
TEST_F(ConfigStore, AFailedSaveIsToldOnceWithTheFileAndItsCauseAndRetried) {
    std::vector<std::pair<std::string, int>> told;
    SetSaveFailureHandler(
        [&told](const std::string& path, int error) { told.emplace_back(path, error); });
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);  // a directory in the file's place
    WriteIntIfChanged("Ports", "IgnoreSerialNumbers", 1);
    WriteStringIfChanged("Appearance", "SelectedInterface", "QX-4");
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].first, ini);
    EXPECT_EQ(told[0].second, EISDIR);

    std::filesystem::remove(ini);
    WriteIntIfChanged("Ports", "IgnoreSerialNumbers", 1);
    EXPECT_EQ(Stored("Ports", "IgnoreSerialNumbers"), "1");
    EXPECT_EQ(told.size(), 1u);

    SetSaveFailureHandler(nullptr);  // nobody listening: nothing is told, nothing breaks
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);
    WriteIntIfChanged("Ports", "IgnoreSerialNumbers", 2);
    EXPECT_EQ(told.size(), 1u);
}

TEST_F(ConfigStore, FirstExitWritesEveryKeyWithItsDefault) {
    {
        ProgramSettings program;
        WindowSettings window;
        program.Load();
        window.Load();
        EXPECT_EQ(program.removePortsOnDeviceRemoval.value, 1);
        EXPECT_EQ(program.ignoreSerialNumbers.value, 0);
        EXPECT_EQ(window.hideInTray.value, 0);
        EXPECT_EQ(window.selectedInterface.value, "");
        EXPECT_EQ(window.showRemovePortsCheckBox.value, 1);
        EXPECT_EQ(window.showIgnoreSerialNumbers.value, 1);
        EXPECT_EQ(ReadBytes(ini), "\xFF\xFE");  // nothing is written before exit
    }
    EXPECT_EQ(Stored("Appearance", "HideInTray"), "0");
    EXPECT_EQ(Stored("Appearance", "SelectedInterface"), "");
    EXPECT_EQ(Stored("Ports", "RemovePortsOnDeviceRemoval"), "1");
    EXPECT_EQ(Stored("Ports", "ShowRemovePortsCheckBox"), "1");
    EXPECT_EQ(Stored("Ports", "IgnoreSerialNumbers"), "0");
    EXPECT_EQ(Stored("Ports", "ShowIgnoreSerialNumbers"), "1");
}

TEST_F(ConfigStore, UnchangedValuesAreNeverRewritten) {
    {
        WindowSettings window;
        window.Load();
    }
    Age();
    {
        WindowSettings window;
        window.Load();
        CIniInt extreme("Ports", "Extreme", 0);
        extreme.value = INT_MAX;  // the "default + 1" probe must not overflow
        extreme.Save();
        Age();
    }
    EXPECT_EQ(ModifiedAt(), 1000000);
    EXPECT_EQ(Stored("Ports", "Extreme"), std::to_string(INT_MAX));

    {
        CIniInt hide("Appearance", "HideInTray", 0);
        hide.value = 1;
    }
    EXPECT_EQ(Stored("Appearance", "HideInTray"), "1");
    EXPECT_NE(ModifiedAt(), 1000000);
}

TEST_F(ConfigStore, TextsAreEscapedOnWriteAndUnescapedOnRead) {
    {
        CIniString text("Appearance", "SelectedInterface", "");
        text.value = " one\r\ntwo ";
    }
    EXPECT_EQ(Stored("Appearance", "SelectedInterface"), "<SP>one<CR><LF>two<SP>");
    CIniString again("Appearance", "SelectedInterface", "");
    EXPECT_EQ(again.value, " one\r\ntwo ");

    {
        CIniString single("S", "space", "x");
        single.value = " ";
    }
    EXPECT_EQ(Stored("S", "space"), "<SP>");
    {
        CIniString untouched("S", "plain", "");
        untouched.value = "a <SP> b";
    }
    CIniString plain("S", "plain", "");
    EXPECT_EQ(plain.value, "a   b");  // literal tokens are read as what they stand for
}

TEST_F(ConfigStore, UnboundSettingsWriteNothing) {
    {
        CIniInt unbound;
        unbound.value = 5;
        CIniString text;
        text.value = "x";
    }
    EXPECT_EQ(ReadBytes(ini), "\xFF\xFE");
}

TEST_F(ConfigStore, ANewDeviceGetsItsSectionAndOthersStayUntouched) {
    const std::string absent =
        "[Interface-GONE]\r\n"
        "ModelName=QX-4\r\n"
        "PortCat=9\r\n"
        "; hand-written note\r\n";
    WriteBytes(ini, Utf16(absent));

    LinkSettings link;
    link.key = "QX4SIM0001";
    LoadSettings(link);
    EXPECT_EQ(link.portNumbers, (std::array<int, kChannelCount>{0, 0, 0, 0}));
    EXPECT_EQ(link.fskInverted, 0);

    link.manufacturer = "Halvorn";
    link.product = "QX-4";
    link.portNumbers = {5, 6, 0, 8};
    link.fskInverted = 1;
    SaveSettings(link);
    EXPECT_EQ(ReadBytes(ini), Utf16(absent + "[Interface-QX4SIM0001]\r\n"
                                             "ModelName=QX-4\r\n"
                                             "Manufacturer=Halvorn\r\n"
                                             "Product=QX-4\r\n"
                                             "PortCat=5\r\n"
                                             "PortPttCw=6\r\n"
                                             "PortFsk=0\r\n"
                                             "PortWinkey=8\r\n"
                                             "FskInverted=1\r\n"
                                             "FirmwareVersion=0\r\n"));

    LinkSettings reloaded;
    reloaded.key = "qx4sim0001";
    LoadSettings(reloaded);
    EXPECT_EQ(reloaded.portNumbers, link.portNumbers);
    EXPECT_EQ(reloaded.fskInverted, 1);

    Age();
    SaveSettings(link);  // the five-minute save of an unchanged link
    EXPECT_EQ(ModifiedAt(), 1000000);
}

// Port values the program cannot use stay in the file as the user wrote them; only a new
// choice replaces them.
TEST_F(ConfigStore, UnusablePortValuesAreKeptAsWritten) {
    const std::string section =
        "[Interface-X]\r\n"
        "PortCat=abc\r\n"
        "PortPttCw=300\r\n"
        "PortFsk=-2\r\n"
        "PortWinkey=7\r\n";
    WriteBytes(ini, Utf16(section));
    LinkSettings link;
    link.key = "X";
    LoadSettings(link);
    EXPECT_EQ(link.portNumbers, (std::array<int, kChannelCount>{0, 300, -2, 7}));
    EXPECT_EQ(link.unusablePortSettings[kCat], "abc");
    EXPECT_EQ(link.unusablePortSettings[kPttCw], "");

    SaveSettings(link);
    for (const auto& [key, value] :
         {std::pair{"PortCat", "abc"}, {"PortPttCw", "300"}, {"PortFsk", "-2"}})
        EXPECT_EQ(Stored("Interface-X", key), value) << key;

    link.unusablePortSettings[kCat].clear();
    link.portNumbers[kCat] = 5;
    SaveSettings(link);
    EXPECT_EQ(Stored("Interface-X", "PortCat"), "5");
}

TEST_F(ConfigStore, DeviceTextsCannotForgeOtherKeys) {
    LinkSettings link;
    link.key = "X";
    link.manufacturer = "Evil\r\n[Ports]\r\nIgnoreSerialNumbers=1";
    SaveSettings(link);
    EXPECT_EQ(Stored("Interface-X", "Manufacturer"), "Evil  [Ports]  IgnoreSerialNumbers=1");
    EXPECT_EQ(Stored("Ports", "IgnoreSerialNumbers"), std::nullopt);
    Age();
    SaveSettings(link);
    EXPECT_EQ(ModifiedAt(), 1000000);
}

TEST_F(ConfigStore, UnknownModelsWriteNoModelName) {
    LinkSettings link;
    link.key = "X";
    link.modelIndex = 1;
    SaveSettings(link);
    EXPECT_EQ(Stored("Interface-X", "ModelName"), std::nullopt);
    EXPECT_EQ(Stored("Interface-X", "PortCat"), "0");
}

}  // namespace
}  // namespace qx
