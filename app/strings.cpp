#include "app/strings.h"

#include <atomic>
#include <cstdlib>

#include "core/utf8.h"

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
    {107, "&Hide", "非表示(&H)"},
    {108, "Exit the program", "プログラムの終了"},
    {109, "The virtual serial ports cannot be made, so the program cannot start.\n\n%s",
     "仮想シリアル ポートを作成できないため、プログラムを起動できません。\n\n%s"},
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
    // Texts of this port's own: the single-instance lock and the settings file.
    {160,
     "QX Manager cannot start: the folder %s must be a folder of your own that only you can "
     "write to (found: %s). Set XDG_RUNTIME_DIR to such a folder.",
     "QX Manager を起動できません: フォルダー %s は、あなた自身が所有し、あなただけが書き込める"
     "フォルダーでなければなりません (現在: %s)。XDG_RUNTIME_DIR にそのようなフォルダーを"
     "設定してください。"},
    {161, "QX Manager cannot start: %s failed for %s: %s.",
     "QX Manager を起動できません: %s (%s) に失敗しました: %s。"},
    {162,
     "Another QX Manager holds the lock %s but does not answer. End it, or remove it if it "
     "hangs, and start again.",
     "別の QX Manager がロック %s を保持していますが応答しません。そのプログラムを終了させて"
     "(応答しない場合は強制終了して) から、もう一度起動してください。"},
    {163, "No QX Manager is running.", "QX Manager は実行されていません。"},
    {164, "The running QX Manager did not end within %i seconds.",
     "実行中の QX Manager が %i 秒以内に終了しませんでした。"},
    {165,
     "The settings cannot be saved to %s: %s. Changes made now will be lost at exit unless the "
     "file can be written again.",
     "設定を %s に保存できません: %s。ファイルに再び書き込めるようにならない限り、"
     "この後の変更は終了時に失われます。"},
    {170, "No display: start it with --headless, or set DISPLAY",
     "ディスプレイがありません: --headless を付けて起動するか、DISPLAY を設定してください"},
    // The Status page's count of bytes a program did not read in time, after its number.
    {183, "bytes dropped", "バイト破棄"},
    // The Status page's port paths.
    {180, "Copy path", "パスをコピー"},
    // What follows "Creating virtual port COM%i" once the port exists, or could not be made.
    {181, "COM%i is ready: %s", "COM%i の準備ができました: %s"},
    {182, "COM%i cannot be created.", "COM%i を作成できません。"},
    {190, "Waiting for the keying-port service", "キーイング ポート サービスを待っています"},
    {191, "Keying by RTS/DTR is unavailable: %s", "RTS/DTR によるキーイングは使用できません: %s"},
    // Names a screen reader gives the controls; "&" marks the key that reaches a control with Alt.
    {250, "Add a port for %s", "%s のポートを追加"},
    {251, "%s test", "%s テスト"},
    {252, "Program &menu", "プログラムのメニュー(&M)"},
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
        if (entry.id == id) return languageId == kLangJapanese ? entry.japanese : entry.english;
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

std::string FormatTexts(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string text(pattern);
    std::size_t from = 0;
    for (const std::string_view value : values) {
        const std::size_t at = text.find("%s", from);
        if (at == std::string::npos) break;
        text.replace(at, 2, value);
        from = at + value.size();
    }
    return text;
}

}  // namespace qx
