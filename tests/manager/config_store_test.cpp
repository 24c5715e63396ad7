#include "manager/config_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <functional>
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

    // A save answers its own failure every time, so a caller can report it where it was asked.
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);
    LinkSettings link;
    link.key = "X";
    const Expected<void> saved = SaveSettings(link);
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().code, EISDIR);
    EXPECT_EQ(told.size(), 1u);
    std::filesystem::remove(ini);

    SetSaveFailureHandler(nullptr);  // nobody listening: nothing is told, nothing breaks
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);
    WriteIntIfChanged("Ports", "IgnoreSerialNumbers", 2);
    EXPECT_EQ(told.size(), 1u);
}

// A save writes the file once with all its keys, and not at all when nothing changed.
TEST_F(ConfigStore, EachSaveWritesTheFileOnceAndOnlyWhenSomethingChanged) {
    LinkSettings link;
    link.key = "QX4SIM0001";
    link.portNumbers = {5, 6, 7, 8};
    const auto newLinks = [] {
        const SettingsSave save;  // as the exit saves every link
        for (int i = 1; i <= 16; ++i) {
            LinkSettings other;
            other.key = "QX4SIM" + std::to_string(1000 + i);
            SaveSettings(other);
        }
    };
    const struct {
        const char* name;
        std::function<void()> save;
        std::uint64_t writes;
    } cases[] = {
        {"a new link's section", [&] { SaveSettings(link); }, 1},
        {"the same link unchanged", [&] { SaveSettings(link); }, 0},
        {"sixteen new links in one save", newLinks, 1},
        {"the window's settings at the first exit", [] { WindowSettings().Load(); }, 1},
        {"the program's settings at the first exit", [] { ProgramSettings().Load(); }, 1},
        {"both unchanged",
         [] {
             WindowSettings().Load();
             ProgramSettings().Load();
         },
         0},
    };
    for (const auto& c : cases) {
        const std::uint64_t before = ProfileFileWrites();
        c.save();
        EXPECT_EQ(ProfileFileWrites() - before, c.writes) << c.name;
    }
    EXPECT_EQ(Stored("Interface-QX4SIM1016", "FirmwareVersion"), "0");
    EXPECT_EQ(Stored("Ports", "ShowIgnoreSerialNumbers"), "1");
}

// What the running program finds in its settings file before it reads a setting. Damage is in
// the encoding only: a file that cannot be decoded is moved aside whole and a new one begun; a
// decodable file, however odd its lines, stays; an empty or mark-only file is a new one; a file
// the user made read-only stays as it is, and the user hears that settings cannot be saved.
TEST_F(ConfigStore, UnreadableFilesAreSetAsideAndReadOnlyOnesKept) {
    const std::string valid = Utf16("[Ports]\r\nIgnoreSerialNumbers=1\r\n");
    const struct {
        const char* name;
        std::string bytes;
        mode_t mode;
        bool setAside;
        int told;  // the errno the user hears of, 0 for nothing
    } cases[] = {
        {"empty: a new file", "", 0644, false, 0},
        {"byte-order mark only: a new file", "\xFF\xFE", 0644, false, 0},
        {"unknown sections and odd lines",
         Utf16("[Other]\r\nno equals sign\r\n; note\r\n[Ports]\r\nIgnoreSerialNumbers=1"), 0644,
         false, 0},
        {"UTF-8 without a mark", "[Ports]\nIgnoreSerialNumbers=1\n", 0644, false, 0},
        {"UTF-16 cut inside a character (odd byte count)", valid + "\x41", 0644, true, 0},
        {"UTF-16 cut inside a surrogate pair", Utf16("[A]\r\nx=") + std::string("\x3D\xD8", 2),
         0644, true, 0},
        {"UTF-16 holding NULs", Utf16("[Ports]\r\n") + std::string(64, '\0'), 0644, true, 0},
        {"UTF-16 without its mark", valid.substr(2), 0644, true, 0},
        {"random bytes", std::string("\x13\x80\xC0\xAF[=\xFF\x01\x9A", 9), 0644, true, 0},
        {"read-only", valid, 0444, false, EACCES},
        {"read-only and damaged", valid + "\x41", 0444, false, EACCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> told;
        SetSaveFailureHandler([&told](const std::string&, int error) { told.push_back(error); });
        ::chmod(ini.c_str(), 0644);
        WriteBytes(ini, c.bytes);
        ::chmod(ini.c_str(), c.mode);

        const std::string movedTo = SetAsideUnreadableIniFile();
        EXPECT_EQ(told, c.told == 0 ? std::vector<int>{} : std::vector<int>{c.told});
        if (c.setAside) {
            EXPECT_EQ(movedTo.rfind(ini + ".unreadable-", 0), 0u) << movedTo;
            EXPECT_EQ(ReadBytes(movedTo), c.bytes);
            EXPECT_EQ(ReadBytes(ini), "\xFF\xFE");
        } else {
            EXPECT_EQ(movedTo, "");
            EXPECT_EQ(ReadBytes(ini), c.bytes);
        }
        // The next save lands in the clean or kept file, or, read-only, changes nothing.
        WriteIntIfChanged("Ports", "ShowIgnoreSerialNumbers", 0);
        EXPECT_EQ(Stored("Ports", "ShowIgnoreSerialNumbers"),
                  c.mode == 0444 ? std::nullopt : std::optional<std::string>("0"));
        if (c.mode == 0444) {
            EXPECT_EQ(ReadBytes(ini), c.bytes);
        }
        EXPECT_EQ(told.size(), c.told == 0 ? 0u : 1u) << "told once";
    }
    SetSaveFailureHandler(nullptr);
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
