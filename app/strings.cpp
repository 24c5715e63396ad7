#include "app/strings.h"

#include <atomic>
#include <cstdlib>

#include "platform/utf8.h"

namespace qx {
namespace {

struct Entry {
    int id;
    std::string_view english;
    std::string_view japanese;
};

// Texts are UTF-8; "%i" stands for a number (FormatNumber).
constexpr Entry kStrings[] = {
    {101, "&About QX Manager...", "QX Manager のバージョン情報(&A)..."},
    {102, "Halvorn QX Manager", "Halvorn QX Manager"},
    {103, "Halvorn QX Manager", "Halvorn QX Manager"},
    {104,
     "The program is minimized to the system tray. Double click on this icon to open the main "
     "window.",
     "プログラムはシステム トレイに最小化されました。このアイコンをダブルクリックすると"
     "メイン ウィンドウが開きます。"},
    {105,
     "Do you really wish to exit this program?\n\nYou will be unable to use your Halvorn "
     "interface after exiting.",
     "このプログラムを終了してもよろしいですか?\n\n終了すると Halvorn インターフェイスは"
     "使用できなくなります。"},
    {106, "Minimize to tray", "トレイに最小化"},
    {107, "Hide", "非表示"},
    {108, "Exit the program", "プログラムの終了"},
    {109, "VSPort Error %i.\n\nThe program cannot start. Please re-install the application.",
     "VSPort エラー %i。\n\nプログラムを起動できません。アプリケーションを再インストールして"
     "ください。"},
    {110, "Not selected", "未選択"},
    {111, "is open by", "使用中のプログラム:"},
    {112, "Creating virtual port COM%i.\nPlease wait...",
     "仮想ポート COM%i を作成しています。\nしばらくお待ちください..."},
    {113, "Deleting virtual port COM%i.\nPlease wait...",
     "仮想ポート COM%i を削除しています。\nしばらくお待ちください..."},
    {116, "Parameters", "パラメーター"},
    {117, "- cannot create this port!", "- このポートは作成できません!"},
    {118, "- is not open by any program", "- どのプログラムも使用していません"},
    {119, "baud", "bps"},
    {120, "please connect an interface to your PC", "インターフェイスを PC に接続してください"},
    {121, "not selected", "未選択"},
    {122, " - current selection", " - 現在の選択"},
    {123,
     "This operation will remove all virtual serial ports present in the system. You will need "
     "to configure serial ports once again.\n\nDo you wish to continue?",
     "この操作を行うと、システム上のすべての仮想シリアル ポートが削除されます。シリアル ポートを"
     "もう一度設定し直す必要があります。\n\n続行しますか?"},
    {124, "(takes effect at the next start)", "(次回の起動時に有効になります)"},
    {130, "Halvorn QX Manager\n\nDouble click to toggle the window.\nRight click to open the menu.",
     "Halvorn QX Manager\n\nダブルクリックでウィンドウの表示/非表示を切り替えます。\n"
     "右クリックでメニューを開きます。"},
};

constexpr std::size_t kMaxCharacters = 999;

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        const char c = *text;
        if (c == '\0' || (c | 0x20) != *prefix) return false;
    }
    return true;
}

int EnglishOrJapanese(int language) {
    return language == kLangJapanese ? kLangJapanese : kLangEnglish;
}

// The language chosen for the windows' own texts; 0 when none was chosen. Process-wide, as
// only the user interface thread shows windows.
std::atomic<int> windowLanguageOverride{0};

}  // namespace

std::string_view CompiledString(int languageId, int id) {
    if (languageId != kLangEnglish && languageId != kLangJapanese) return {};
    for (const Entry& entry : kStrings) {
        if (entry.id == id)
            return languageId == kLangJapanese ? entry.japanese : entry.english;
    }
    return {};
}

std::string LookupLocalizedString(int id, int userLanguage, StringTableLookup table) {
    for (int language : {userLanguage, kLangNeutral, kLangSystemDefault, kLangEnglish}) {
        const std::string_view text = table(language, id);
        if (!text.empty()) return std::string(FirstCharacters(text, kMaxCharacters));
    }
    return {};
}

std::string LoadLocalizedString(int id) {
    return LookupLocalizedString(id, UserDefaultLanguage(), CompiledString);
}

int UserLanguageFromLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value == nullptr || *value == '\0') continue;
        if (StartsWithIgnoringCase(value, "ja")) return kLangJapanese;
        if (StartsWithIgnoringCase(value, "en")) return kLangEnglish;
        return kLangWithoutTable;
    }
    return kLangWithoutTable;
}

int UserDefaultLanguage() {
    return UserLanguageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                                  std::getenv("LANG"));
}

void SetThreadLanguage(int languageId) { windowLanguageOverride.store(languageId); }

int WindowLanguage() {
    const int chosen = windowLanguageOverride.load();
    if (chosen == kLangJapanese || chosen == kLangEnglish) return chosen;
    return EnglishOrJapanese(UserDefaultLanguage());
}

std::string FormatNumber(std::string_view pattern, int value) {
    std::string text(pattern);
    const std::size_t at = text.find("%i");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(value));
    return text;
}

}  // namespace qx
