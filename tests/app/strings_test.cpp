#include "app/strings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>

#include "app/command_line.h"
#include "app/diagnostic_words.h"
#include "core/utf8.h"

namespace qx {
namespace {

// Sets the locale variables for one test and puts the old values back.
class LocaleEnvironment {
public:
    LocaleEnvironment(const char* lcAll, const char* lcMessages, const char* lang) {
        Set("LC_ALL", lcAll);
        Set("LC_MESSAGES", lcMessages);
        Set("LANG", lang);
    }
    ~LocaleEnvironment() {
        for (auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        SetThreadLanguage(0);
    }

private:
    void Set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Strings, EveryIdHasEnglishAndJapaneseKeepingPlaceholdersAndLineBreaks) {
    for (int id :
         {101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 116, 117, 118, 119, 120,
          121, 122, 123, 130, 160, 161, 162, 163, 164, 165, 166, 184, 185, 190, 191, 200, 201, 202,
          203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 216, 217, 218, 219, 220,
          221, 222, 223, 224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 250, 251, 252}) {
        const std::string english(CompiledString(kLangEnglish, id));
        const std::string japanese(CompiledString(kLangJapanese, id));
        ASSERT_FALSE(english.empty()) << id;
        ASSERT_FALSE(japanese.empty()) << id;
        EXPECT_EQ(english.find("%i") != std::string::npos, japanese.find("%i") != std::string::npos)
            << id;
        const auto texts = [](const std::string& text) {
            size_t count = 0;
            for (size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at + 2))
                ++count;
            return count;
        };
        EXPECT_EQ(texts(english), texts(japanese)) << id;
        // Longer texts would be cut by the lookup.
        EXPECT_EQ(FirstCharacters(japanese, 999).size(), japanese.size()) << id;
        EXPECT_EQ(english.find("\n\n") != std::string::npos,
                  japanese.find("\n\n") != std::string::npos)
            << id;
    }
    // The ports fail for a reason that is shown; re-installing never mends it.
    EXPECT_EQ(std::string(CompiledString(kLangEnglish, 109)).find("install"), std::string::npos);
    EXPECT_EQ(CompiledString(kLangEnglish, 122), " - current selection");
    EXPECT_EQ(CompiledString(kLangJapanese, 102), "Halvorn QX Manager");
}

// What the program prints in a terminal or the journal follows the user's language, whole, the
// lower layers' lines too; without the table's words, they still carry their values.
TEST(Strings, TerminalMessagesFollowTheUsersLanguage) {
    const auto relayEnded = [] {
        return DiagnosticLine(Diagnostic::kRelayEnded, {"COM6", "killed"});
    };
    SetDiagnosticWords(nullptr);  // the application's start, run by earlier tests, sets them
    EXPECT_EQ(relayEnded(), "COM6: killed");
    SetDiagnosticWords(DiagnosticPattern);
    for (const auto& [locale, usage, unknown, relay, held] :
         {std::tuple{"ja_JP.UTF-8", "使い方: ", "認識できないオプション '--x'",
                     "ポート COM6: キーイング ポートの中継が終了しました (killed)。再度要求します",
                     "ポート COM5: このコンピューターの別のユーザーがこの名前 (qx-COM5) を使用して"
                     "います。[ポート] ページでこのチャネルに別の番号を選んでください"},
          std::tuple{"C.UTF-8", "Usage: ", "unrecognized option '--x'",
                     "Port COM6: its keying-port relay ended (killed); asking for it again",
                     "Port COM5: another user of this computer holds its name (qx-COM5); choose "
                     "another number for this channel on the Ports page"}}) {
        const LocaleEnvironment environment(locale, nullptr, nullptr);
        EXPECT_EQ(relayEnded(), relay);
        EXPECT_EQ(DiagnosticLine(Diagnostic::kNameHeldByAnother, {"COM5", "qx-COM5"}), held);
        const std::string help = HelpText("/s.ini", "/run/p");
        EXPECT_EQ(help.rfind(usage, 0), 0u) << help;
        EXPECT_NE(help.find("/s.ini\n"), std::string::npos) << help;
        EXPECT_NE(help.find("/run/p/COM<n>\n"), std::string::npos) << help;
        EXPECT_EQ(ParseCommandLine({"--x"}).error, std::string("qx-manager: ") + unknown);
    }
    SetDiagnosticWords(nullptr);
}

TEST(Strings, UserLanguageComesFromTheFirstNonEmptyLocaleVariable) {
    EXPECT_EQ(UserLanguageFromLocale("ja_JP.UTF-8", "en_US", "en_US"), kLangJapanese);
    EXPECT_EQ(UserLanguageFromLocale("", "ja_JP", "en_US"), kLangJapanese);
    EXPECT_EQ(UserLanguageFromLocale(nullptr, nullptr, "en_GB.UTF-8"), kLangEnglish);
    EXPECT_EQ(UserLanguageFromLocale("de_DE.UTF-8", "ja_JP", "ja_JP"), kLangWithoutTable);
    EXPECT_EQ(UserLanguageFromLocale("C", nullptr, nullptr), kLangWithoutTable);
    EXPECT_EQ(UserLanguageFromLocale(nullptr, nullptr, nullptr), kLangWithoutTable);
}

TEST(Strings, LookupFallsBackToEnglishForUnknownLanguagesAndUnknownIds) {
    EXPECT_EQ(LookupLocalizedString(110, kLangJapanese, CompiledString), "未選択");
    EXPECT_EQ(LookupLocalizedString(110, kLangWithoutTable, CompiledString), "Not selected");
    EXPECT_EQ(LookupLocalizedString(110, 0x0407, CompiledString), "Not selected");
    EXPECT_EQ(LookupLocalizedString(114, kLangJapanese, CompiledString), "");
}

// A table whose Japanese entry of 110 is empty and whose neutral table has 111.
std::string_view PatchyTable(int language, int id) {
    if (language == kLangJapanese && id == 110) return "";
    if (language == kLangNeutral && id == 111) return "neutral";
    return CompiledString(language, id);
}

TEST(Strings, EmptyEntryCountsAsMissingAndNeutralComesBeforeEnglish) {
    EXPECT_EQ(LookupLocalizedString(110, kLangJapanese, PatchyTable), "Not selected");
    EXPECT_EQ(LookupLocalizedString(111, kLangWithoutTable, PatchyTable), "neutral");
    EXPECT_EQ(LookupLocalizedString(111, kLangJapanese, PatchyTable), "使用中のプログラム:");
}

// Every entry 1200 three-byte characters long.
std::string_view LongTable(int, int) {
    static const std::string text = [] {
        std::string s;
        for (int i = 0; i < 1200; ++i) s += "あ";
        return s;
    }();
    return text;
}

TEST(Strings, LookupReturnsAtMost999CharactersWithoutSplittingOne) {
    const std::string text = LookupLocalizedString(101, kLangJapanese, LongTable);
    EXPECT_EQ(text.size(), 999u * 3u);
    EXPECT_EQ(text.substr(text.size() - 3), "あ");
}

TEST(Strings, DashL1041GivesJapaneseWindowsWhileMessagesStayEnglish) {
    LocaleEnvironment english("en_US.UTF-8", nullptr, nullptr);
    EXPECT_EQ(WindowLanguage(), kLangEnglish);
    SetThreadLanguage(kLangJapanese);
    EXPECT_EQ(WindowLanguage(), kLangJapanese);
    EXPECT_EQ(LoadLocalizedString(107), "&Hide");
}

TEST(Strings, WindowLanguageFollowsTheUserUnlessAKnownLanguageIsChosen) {
    LocaleEnvironment japanese(nullptr, nullptr, "ja_JP.UTF-8");
    EXPECT_EQ(WindowLanguage(), kLangJapanese);
    EXPECT_EQ(LoadLocalizedString(107), "非表示(&H)");
    SetThreadLanguage(0x0407);  // no texts for it: the user's language stays
    EXPECT_EQ(WindowLanguage(), kLangJapanese);
    SetThreadLanguage(kLangEnglish);
    EXPECT_EQ(WindowLanguage(), kLangEnglish);
}

TEST(Strings, WindowLanguageIsEnglishForUsersWithoutATable) {
    LocaleEnvironment german("de_DE.UTF-8", nullptr, nullptr);
    EXPECT_EQ(WindowLanguage(), kLangEnglish);
}

TEST(Strings, FormatNumberReplacesTheFirstPlaceholder) {
    EXPECT_EQ(FormatNumber(CompiledString(kLangEnglish, 112), 5),
              "Creating virtual port COM5.\nPlease wait...");
    EXPECT_EQ(FormatNumber("no number", 5), "no number");
    EXPECT_EQ(FormatNumber("%i and %i", -3), "-3 and %i");
}

TEST(Strings, FormatTextsFillsThePlaceholdersInOrderAndNeverTheValues) {
    EXPECT_EQ(FormatTexts("%s failed for %s: %s.", {"mkdir", "/run/%s", "No such file"}),
              "mkdir failed for /run/%s: No such file.");
    EXPECT_EQ(FormatTexts("only %s", {"one", "two"}), "only one");
    EXPECT_EQ(FormatTexts("%s and %s", {"one"}), "one and %s");
}

}  // namespace
}  // namespace qx
