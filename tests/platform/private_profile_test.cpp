#include "platform/private_profile.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <utility>

#include "tests/support/temp_home.h"

namespace qx {
namespace {

using test::ReadBytes;
using test::Utf16;
using test::WriteBytes;

class PrivateProfile : public ::testing::Test {
protected:
    test::TempHome home;
    std::string path = home.Root() + "/settings.ini";

    std::string Get(const std::string& section, const std::string& key) {
        return GetPrivateProfileString(section, key, "(default)", path);
    }
    int GetInt(const std::string& section, const std::string& key) {
        return GetPrivateProfileInt(section, key, -7, path);
    }
};

TEST_F(PrivateProfile, LooksUpLikeTheClassicFunctions) {
    WriteBytes(path, Utf16("; comment=1\r\n"
                           "orphan=before any section\r\n"
                           "[Ports]\r\n"
                           "  PortCat  =  5  \r\n"
                           "Plus=+12\r\n"
                           "Minus=-3\r\n"
                           "Prefix=42abc\r\n"
                           "Word=abc\r\n"
                           "Empty=\r\n"
                           "Huge=99999999999\r\n"
                           "Tiny=-99999999999\r\n"
                           "Dup=first\r\n"
                           "Dup=second\r\n"
                           "no equals sign\r\n"
                           "[ports]\r\n"
                           "Later=hidden by the first section\r\n"
                           "[Name]with]brackets]\r\n"
                           "k=v\r\n"));
    EXPECT_EQ(GetInt("PORTS", "portcat"), 5);
    EXPECT_EQ(Get(" Ports ", " PortCat "), "5");
    EXPECT_EQ(GetInt("Ports", "Plus"), 12);
    EXPECT_EQ(GetInt("Ports", "Minus"), -3);
    EXPECT_EQ(GetInt("Ports", "Prefix"), 42);
    EXPECT_EQ(GetInt("Ports", "Word"), 0);
    EXPECT_EQ(GetInt("Ports", "Empty"), -7);
    EXPECT_EQ(Get("Ports", "Empty"), "");
    EXPECT_EQ(GetInt("Ports", "Huge"), INT_MAX);
    EXPECT_EQ(GetInt("Ports", "Tiny"), INT_MIN);
    EXPECT_EQ(Get("Ports", "Dup"), "first");
    EXPECT_EQ(Get("Ports", "Later"), "(default)");
    EXPECT_EQ(Get("Ports", "no equals sign"), "(default)");
    EXPECT_EQ(Get("", "orphan"), "(default)");
    EXPECT_EQ(Get("Name]with]brackets", "k"), "v");
    EXPECT_EQ(GetInt("Missing", "PortCat"), -7);
    EXPECT_EQ(Get("Ports", "Missing"), "(default)");
}

TEST_F(PrivateProfile, CaseFoldingIsAsciiOnlyAndComparesWholeUtf8Names) {
    WriteBytes(path, "[Größe]\nÄ=1\n");
    EXPECT_EQ(Get("GRÖßE", "Ä"), "(default)");  // Ö is not folded to ö
    EXPECT_EQ(Get("größe", "Ä"), "1");
    EXPECT_EQ(Get("Größ", "Ä"), "(default)");
}

TEST_F(PrivateProfile, LongValuesAndDefaultsAreCutAt4095Characters) {
    WriteBytes(path, "[S]\nlong=" + std::string(5000, 'x') + "\nwide=" + std::string(5000, 'e') +
                         "\xC3\xA9" + "\n");
    EXPECT_EQ(Get("S", "long"), std::string(4095, 'x'));
    EXPECT_EQ(GetPrivateProfileString("S", "none", std::string(5000, 'd'), path),
              std::string(4095, 'd'));
    // Characters, not bytes: a multi-byte character is never split.
    const std::string umlauts = [] {
        std::string s;
        for (int i = 0; i < 5000; ++i) s += "\xC3\xA9";
        return s;
    }();
    WriteBytes(path, "[S]\nu=" + umlauts + "\n");
    EXPECT_EQ(Get("S", "u"), umlauts.substr(0, 2 * 4095));
}

TEST_F(PrivateProfile, WritesChangeOnlyTheirOwnLineInAUtf16File) {
    const std::string before =
        "; kept comment\r\n"
        "[Appearance]\r\n"
        "HideInTray = 0\r\n"
        "Unknown=keep me\r\n"
        "\r\n"
        "; about the next section\r\n"
        "[Interface-ABSENT]\r\n"
        "PortCat=7\r\n";
    WriteBytes(path, Utf16(before));

    ASSERT_TRUE(WritePrivateProfileString("appearance", "hideintray", "1", path));
    ASSERT_TRUE(WritePrivateProfileString("Appearance", "SelectedInterface", "QX4SIM0001", path));
    ASSERT_TRUE(WritePrivateProfileString("Ports", "IgnoreSerialNumbers", "0", path));

    EXPECT_EQ(ReadBytes(path), Utf16("; kept comment\r\n"
                                     "[Appearance]\r\n"
                                     "HideInTray = 1\r\n"
                                     "Unknown=keep me\r\n"
                                     "SelectedInterface=QX4SIM0001\r\n"
                                     "\r\n"
                                     "; about the next section\r\n"
                                     "[Interface-ABSENT]\r\n"
                                     "PortCat=7\r\n"
                                     "[Ports]\r\n"
                                     "IgnoreSerialNumbers=0\r\n"));
}

// The keys of one save reach the file in one write, with the same bytes as written one by one.
TEST_F(PrivateProfile, AnEditWritesItsChangesOnceAndReadsItsOwnChanges) {
    const std::string oneByOne = home.Root() + "/one-by-one.ini";
    const std::string start = "; note\r\n[Interface-A]\r\nPortCat=5\r\n";
    WriteBytes(path, Utf16(start));
    WriteBytes(oneByOne, Utf16(start));
    const std::pair<const char*, const char*> keys[] = {
        {"PortCat", "7"}, {"PortPttCw", "8"}, {"Manufacturer", "Halvorn"}, {"FskInverted", "1"}};
    const std::uint64_t before = ProfileFileWrites();
    ProfileEdit edit(path);
    for (const auto& [key, value] : keys) {
        ASSERT_TRUE(edit.Set("Interface-A", key, value));
        ASSERT_TRUE(WritePrivateProfileString("Interface-A", key, value, oneByOne));
    }
    EXPECT_EQ(edit.GetInt("Interface-A", "PortCat", -1), 7);
    EXPECT_EQ(edit.GetString("interface-a", "manufacturer", ""), "Halvorn");
    EXPECT_EQ(ReadBytes(path), Utf16(start)) << "nothing is written before the commit";
    ASSERT_TRUE(edit.Commit());
    EXPECT_EQ(ReadBytes(path), ReadBytes(oneByOne));
    const std::uint64_t afterCommit = ProfileFileWrites();
    EXPECT_EQ(afterCommit - before, 1u + std::size(keys));
    EXPECT_TRUE(edit.Commit());  // nothing new: no write
    EXPECT_TRUE(ProfileEdit(path).Commit());
    EXPECT_EQ(ProfileFileWrites(), afterCommit);
}

// A file without write permission was made read-only on purpose: root must not replace it either.
TEST_F(PrivateProfile, AReadOnlyFileIsNeverReplaced) {
    WriteBytes(path, Utf16("[S]\r\nk=v\r\n"));
    const std::string before = ReadBytes(path);
    ::chmod(path.c_str(), 0444);
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "changed", path));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(CheckProfileFile(path).cannotWrite, EACCES);
    ::chmod(path.c_str(), 0644);
    EXPECT_EQ(CheckProfileFile(path).cannotWrite, 0);
}

TEST_F(PrivateProfile, NonAsciiTextRoundTripsThroughUtf16) {
    WriteBytes(path, Utf16(""));
    const std::string text = "Ünïcode \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xBB";  // with a pair
    ASSERT_TRUE(WritePrivateProfileString("S", "k", text, path));
    EXPECT_EQ(Get("S", "k"), text);
}

TEST_F(PrivateProfile, Utf8FilesStayUtf8WithTheirOwnLineEndings) {
    WriteBytes(path, "[A]\nx=1\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "y", "\xC3\xA9", path));
    ASSERT_TRUE(WritePrivateProfileString("B", "z", "3", path));
    EXPECT_EQ(ReadBytes(path), "[A]\nx=1\ny=\xC3\xA9\n[B]\nz=3\n");

    WriteBytes(path, "\xEF\xBB\xBF[A]\r\nx=1\r\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "x", "2", path));
    EXPECT_EQ(ReadBytes(path), "\xEF\xBB\xBF[A]\r\nx=2\r\n");
    EXPECT_EQ(Get("A", "x"), "2");
}

TEST_F(PrivateProfile, MissingFinalNewlineIsKeptAndNotGluedOnto) {
    WriteBytes(path, "[A]\nx=1");
    ASSERT_TRUE(WritePrivateProfileString("A", "y", "2", path));
    EXPECT_EQ(ReadBytes(path), "[A]\nx=1\ny=2");
    ASSERT_TRUE(WritePrivateProfileString("B", "z", "3", path));
    EXPECT_EQ(ReadBytes(path), "[A]\nx=1\ny=2\n[B]\nz=3\n");
}

TEST_F(PrivateProfile, NewOrEmptyFilesBecomeUtf16) {
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", path));
    EXPECT_EQ(ReadBytes(path), Utf16("[S]\r\nk=v\r\n"));
    WriteBytes(path, "");
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", path));
    EXPECT_EQ(ReadBytes(path), Utf16("[S]\r\nk=v\r\n"));
}

TEST_F(PrivateProfile, RefusesWhatWouldBreakTheLineStructure) {
    WriteBytes(path, Utf16("[S]\r\nk=v\r\n"));
    const std::string before = ReadBytes(path);
    EXPECT_FALSE(
        WritePrivateProfileString("S", "k", "a\r\n[Ports]\r\nIgnoreSerialNumbers=1", path));
    EXPECT_FALSE(WritePrivateProfileString("S\n", "k", "v", path));
    EXPECT_FALSE(WritePrivateProfileString("S", "a=b", "v", path));
    EXPECT_FALSE(WritePrivateProfileString("S", ";k", "v", path));
    EXPECT_FALSE(WritePrivateProfileString("", "k", "v", path));
    EXPECT_FALSE(WritePrivateProfileString("S", "", "v", path));
    EXPECT_FALSE(WritePrivateProfileString("S", "k", std::string("a\0b", 3), path));
    EXPECT_EQ(ReadBytes(path), before);
}

TEST_F(PrivateProfile, DamagedFilesReadDefaultsAndKeepTheirBytes) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const std::string longLine(100000, 'q');
    const Case cases[] = {
        {"odd byte count in UTF-16", Utf16("[A]\r\nx=1\r\n") + "\x41"},
        {"truncated mid-line", Utf16("[A]\r\nx=1\r\n[B]\r\ny=")},
        {"unpaired surrogates",
         Utf16("[A]\r\nx=1\r\n") + std::string("\x00\xD8\x0D\x00\x0A\x00", 6)},
        {"binary garbage", std::string("\x00\xFF\x13[\x80=\xC0\xAF\r\r\n\x00", 12)},
        {"one very long line", "[A]\nx=1\n" + longLine},
        {"a very long key line", "[A]\nx=1\n" + longLine + "=" + longLine + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(path, c.bytes);
        EXPECT_EQ(Get("Missing", "k"), "(default)");
        EXPECT_EQ(GetInt("Missing", "k"), -7);
        ASSERT_TRUE(WritePrivateProfileString("New", "k", "v", path));
        const std::string after = ReadBytes(path);
        EXPECT_EQ(Get("New", "k"), "v");
        // What was there is still there: the new section is inserted, never replacing bytes.
        const size_t added = after.size() - c.bytes.size();
        size_t same = 0;
        while (same < c.bytes.size() && after[same] == c.bytes[same]) ++same;
        EXPECT_EQ(after.substr(same + added), c.bytes.substr(same));
    }
}

TEST_F(PrivateProfile, AFailedWriteLeavesTheFileAsItWas) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    const std::string folder = home.Root() + "/locked";
    std::filesystem::create_directory(folder);
    const std::string locked = folder + "/settings.ini";
    WriteBytes(locked, Utf16("[S]\r\nk=v\r\n"));
    const std::string before = ReadBytes(locked);
    ::chmod(folder.c_str(), 0555);
    errno = 0;
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "changed", locked));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadBytes(locked), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);

    // A file we cannot read must not be replaced by one holding only the new key.
    ::chmod(folder.c_str(), 0755);
    ::chmod(locked.c_str(), 0200);
    EXPECT_FALSE(WritePrivateProfileString("S", "other", "x", locked));
    EXPECT_EQ(errno, EACCES);
    ::chmod(locked.c_str(), 0600);
    EXPECT_EQ(ReadBytes(locked), before);
}

// A full disk, played by a file size limit the new file runs into; unlike permissions it binds
// root too.
TEST_F(PrivateProfile, AFullDiskLeavesTheFileAsItWas) {
    WriteBytes(path, Utf16("[S]\r\nk=v\r\n"));
    const std::string before = ReadBytes(path);
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(home.Root()),
                             std::filesystem::directory_iterator());
    };
    const auto entriesBefore = entries();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = before.size() + 4;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = WritePrivateProfileString("S", "k", std::string(200, 'x'), path);
    const int cause = errno;
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(cause, EFBIG);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(entries(), entriesBefore) << "no half-written file is left beside it";
}

TEST_F(PrivateProfile, AWriteKeepsTheFileModeAndFollowsALink) {
    const std::string target = home.Root() + "/real.ini";
    WriteBytes(target, Utf16("[S]\r\n"));
    ::chmod(target.c_str(), 0640);
    std::filesystem::create_symlink(target, path);
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", path));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(ReadBytes(target), Utf16("[S]\r\nk=v\r\n"));
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(PrivateProfile, ADirectoryInPlaceOfTheFileFailsWithItsCause) {
    std::filesystem::create_directory(path);
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", path));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

// Settings kept on a drive that is not mounted yet: the link is never replaced by a local copy.
TEST_F(PrivateProfile, ADanglingLinkStaysALinkAndIsWrittenThroughWhereItsFolderExists) {
    std::filesystem::create_directory(home.Root() + "/drive");
    const std::string relativeTarget = "drive/new.ini";
    std::filesystem::create_symlink(relativeTarget, path);
    ASSERT_TRUE(WritePrivateProfileString("S", "k", "v", path));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(ReadBytes(home.Root() + "/" + relativeTarget), Utf16("[S]\r\nk=v\r\n"));
    EXPECT_EQ(Get("S", "k"), "v");

    const std::string unmounted = home.Root() + "/unmounted.ini";
    std::filesystem::create_symlink(home.Root() + "/media/usb/settings.ini", unmounted);
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", unmounted));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(std::filesystem::is_symlink(unmounted));
    EXPECT_FALSE(std::filesystem::exists(home.Root() + "/media"));

    const std::string loop = home.Root() + "/loop.ini";
    std::filesystem::create_symlink(loop, loop);
    EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", loop));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_TRUE(std::filesystem::is_symlink(loop));
}

}  // namespace
}  // namespace qx
