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
    // A click on the icon shows or hides the window on every tray this program meets.
    {130, "Halvorn QX Manager\n\nClick to show or hide the window.\nRight click to open the menu.",
     "Halvorn QX Manager\n\nクリックでウィンドウの表示/非表示を切り替えます。\n"
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
    {169, "The running QX Manager did not answer within %i seconds.",
     "実行中の QX Manager が %i 秒以内に応答しませんでした。"},
    {165,
     "The settings cannot be saved to %s: %s. Changes made now will be lost at exit unless the "
     "file can be written again.",
     "設定を %s に保存できません: %s。ファイルに再び書き込めるようにならない限り、"
     "この後の変更は終了時に失われます。"},
    {166,
     "The transmitter guard could not start (%s): a transmitter keyed when QX Manager is "
     "killed stays keyed.",
     "送信ガードを開始できませんでした (%s): QX Manager が強制終了されると、送信中の無線機は"
     "送信状態のままになります。"},
    {170, "No display: start it with --headless, or set DISPLAY",
     "ディスプレイがありません: --headless を付けて起動するか、DISPLAY を設定してください"},
    // The Status page's count of bytes a program did not read in time, after its number.
    {183, "bytes dropped", "バイト破棄"},
    // The Status page's line for an interface whose keying no transmitter guard holds.
    {187, "Keying unguarded: a transmitter keyed when QX Manager is killed stays keyed",
     "送信ガードなし: QX Manager が強制終了されると送信中の無線機は送信状態のままになります"},
    // The Status page's line for ports kept while their interface is away: the ports, the key.
    {184, "%s: waiting for interface %s", "%s: インターフェイス %s の再接続を待っています"},
    // The tooltip of "Remove ports on device removal".
    {185,
     "Turn this off to keep the ports on the machine while the interface is away (unplugged, or "
     "reset by RF getting into its USB cable): radio programs keep them open, and once the "
     "interface returns they go on working without a restart.",
     "オフにすると、インターフェイスが外れている間 (抜かれたとき、または USB ケーブルに回り込んだ "
     "RF でリセットされたとき) もポートがマシンに残ります。無線ソフトはポートを開いたままにでき、"
     "インターフェイスが戻ると再起動せずにそのまま使い続けられます。"},
    // The Status page's port paths.
    {180, "Copy path", "パスをコピー"},
    // What follows "Creating virtual port COM%i" once the port exists, or could not be made.
    {181, "COM%i is ready: %s", "COM%i の準備ができました: %s"},
    {182, "COM%i cannot be created.", "COM%i を作成できません。"},
    // What the program prints in a terminal or the journal.
    // --help: how to call the program, its switches, and its environment and files.
    {200,
     "Usage: qx-manager [-s | -m | -x | -a | -n] [-l<id>] [--trace]\n"
     "       qx-manager --headless [--trace]\n"
     "       qx-manager --status [--json]\n"
     "       qx-manager --set-port <serial> <CAT|PTT/CW|FSK|WinKey> <n|0>\n"
     "       qx-manager --help | --version\n"
     "\n"
     "Virtual serial ports for the QX-4 radio interface. A second start hands its request\n"
     "to the running program and ends.\n"
     "\n",
     "使い方: qx-manager [-s | -m | -x | -a | -n] [-l<id>] [--trace]\n"
     "        qx-manager --headless [--trace]\n"
     "        qx-manager --status [--json]\n"
     "        qx-manager --set-port <シリアル番号> <CAT|PTT/CW|FSK|WinKey> <n|0>\n"
     "        qx-manager --help | --version\n"
     "\n"
     "QX-4 無線インターフェイスの仮想シリアル ポート。2 回目の起動は要求を実行中の\n"
     "プログラムに渡して終了します。\n"
     "\n"},
    {222,
     "  -s          start with the window shown\n"
     "  -m          start hidden in the notification area\n"
     "  -x          tell the running program to exit; return once it has ended\n"
     "  -a          start with the desktop session from now on, then end\n"
     "  -n          do not start with the desktop session, then end\n"
     "  -l<id>      language of the windows: 1041 Japanese, 1033 English\n"
     "  --headless  run the interfaces and their ports with no window and no display\n"
     "  --trace     write what passes (bytes, keying lines, commands, port opens) to\n"
     "              standard error, and to the journal under systemd\n"
     "  --status    print each connected interface and its ports (--json: as JSON)\n"
     "  --set-port  give a channel of the interface with that serial number the port\n"
     "              COM<n>, or remove its port with 0\n"
     "  -h, --help  print this help and end\n"
     "  -v, -V, --version\n"
     "              print the version and end\n"
     "\n",
     "  -s          ウィンドウを表示して起動します\n"
     "  -m          通知領域に隠して起動します\n"
     "  -x          実行中のプログラムに終了を指示し、終了するまで待ちます\n"
     "  -a          今後デスクトップ セッションと一緒に起動するようにして終了します\n"
     "  -n          デスクトップ セッションと一緒に起動しないようにして終了します\n"
     "  -l<id>      ウィンドウの言語: 1041 日本語、1033 英語\n"
     "  --headless  ウィンドウもディスプレイもなしでインターフェイスとポートを動かします\n"
     "  --trace     流れるもの (バイト、キーイング線、コマンド、ポートのオープン) を\n"
     "              標準エラーに、systemd の下ではジャーナルにも書きます\n"
     "  --status    接続中の各インターフェイスとそのポートを表示します (--json: JSON で)\n"
     "  --set-port  そのシリアル番号のインターフェイスのチャネルにポート COM<n> を\n"
     "              割り当てます。0 でポートを削除します\n"
     "  -h, --help  このヘルプを表示して終了します\n"
     "  -v, -V, --version\n"
     "              バージョンを表示して終了します\n"
     "\n"},
    {223,
     "Environment:\n"
     "  QXM_TRACE=1                 the same as --trace\n"
     "  QXM_PORTS_DIR=<dir>         publish the ports in <dir>\n"
     "  QXM_PORT_KIND=pty|cuse      force the kind of port\n"
     "  QXM_CUSE_HELPER_SOCKET=<path> the keying-port helper's socket\n"
     "  QXM_SIMULATED_DEVICES=<n>   use n simulated interfaces instead of hardware\n"
     "\n"
     "Settings file: %s\n"
     "Ports:         %s/COM<n>\n",
     "環境変数:\n"
     "  QXM_TRACE=1                 --trace と同じ\n"
     "  QXM_PORTS_DIR=<dir>         ポートを <dir> に公開します\n"
     "  QXM_PORT_KIND=pty|cuse      ポートの種類を指定します\n"
     "  QXM_CUSE_HELPER_SOCKET=<path> キーイング ポート ヘルパーのソケット\n"
     "  QXM_SIMULATED_DEVICES=<n>   ハードウェアの代わりに n 台の模擬インターフェイスを使います\n"
     "\n"
     "設定ファイル: %s\n"
     "ポート:       %s/COM<n>\n"},
    {201, "Try 'qx-manager --help' for more information.",
     "詳しくは 'qx-manager --help' を実行してください。"},
    {202, "option '--set-port' needs <serial> <CAT|PTT/CW|FSK|WinKey> <n|0>",
     "オプション '--set-port' には <シリアル番号> <CAT|PTT/CW|FSK|WinKey> <n|0> が必要です"},
    {203, "unrecognized option '%s'", "認識できないオプション '%s'"},
    {204, "option '--json' needs '--status'", "オプション '--json' には '--status' が必要です"},
    {205, "use only one of '--headless', '--status' and '--set-port'",
     "'--headless'、'--status'、'--set-port' のうち 1 つだけを使ってください"},
    {206, "QX Manager is already running; its window is shown.",
     "QX Manager はすでに実行中です。そのウィンドウを表示しました。"},
    {207, "QX Manager is already running; its window is hidden in the notification area.",
     "QX Manager はすでに実行中です。そのウィンドウを通知領域に隠しました。"},
    {208,
     "The settings file %s could not be read as settings (it is damaged). It was moved to %s, "
     "and the program starts with new settings: choose the ports again.",
     "設定ファイル %s は設定として読み取れませんでした (破損しています)。%s に移動し、"
     "新しい設定で起動します: ポートをもう一度選択してください。"},
    {209, "Virtual ports (%s) are published in %s", "仮想ポート (%s) は %s に公開されています"},
    {210, "Device notices come from %s", "デバイスの通知の取得元: %s"},
    {211, "malformed --set-port query", "--set-port の要求が不正です"},
    {212, "unknown channel '%s': use CAT, PTT/CW, FSK or WinKey",
     "不明なチャネル '%s': CAT、PTT/CW、FSK、WinKey のいずれかを使ってください"},
    {213, "the port number must be 0 (no port) or 1 to 255, not '%s'",
     "ポート番号は 0 (ポートなし) または 1 から 255 でなければなりません ('%s' は使えません)"},
    {214, "no interface with serial number '%s' is connected",
     "シリアル番号 '%s' のインターフェイスは接続されていません"},
    {215, "COM%i is already in use: %s exists", "COM%i はすでに使用されています: %s があります"},
    {216, "the running instance does not know this request",
     "実行中のプログラムはこの要求を知りません"},
    {217, "%s of %s: %s", "%s (%s): %s"},
    {218, "no port", "ポートなし"},
    {219, "Not supported", "サポートされていません"},
    {220, "no virtual port component", "仮想ポート コンポーネントがありません"},
    {221, "the running instance gave an unreadable answer",
     "実行中のプログラムの応答を読み取れませんでした"},
    {225, "Interface %s cannot be opened: %s", "インターフェイス %s を開けません: %s"},
    // Lines to standard error (the journal of the user service).
    {226, "qx-manager: the manager's timer cannot be made: %s",
     "qx-manager: マネージャーのタイマーを作成できません: %s"},
    {227, "qx-manager: the manager's timer cannot be set: %s",
     "qx-manager: マネージャーのタイマーを設定できません: %s"},
    {228, "qx-manager: waiting for events failed: %s",
     "qx-manager: イベントの待機に失敗しました: %s"},
    {229, "Port %s: %s", "ポート %s: %s"},
    {230, "Port %s: served again", "ポート %s: 再び使用できます"},
    {231, "Port %s: its keying-port relay ended (%s); asking for it again",
     "ポート %s: キーイング ポートの中継が終了しました (%s)。再度要求します"},
    {232, "Port %s: %s; asking again until it is free", "ポート %s: %s。空くまで要求を続けます"},
    {233, "Device notices from udev unavailable (%s); using kernel uevents",
     "udev からのデバイス通知を使用できません (%s)。カーネルの uevent を使います"},
    {234, "kernel uevents (no udev daemon)", "カーネルの uevent (udev デーモンなし)"},
    {235,
     "Port %s: another user of this computer holds its name (%s); choose another number for "
     "this channel on the Ports page",
     "ポート %s: このコンピューターの別のユーザーがこの名前 (%s) を使用しています。[ポート] "
     "ページでこのチャネルに別の番号を選んでください"},
    {238,
     "The transmitter guard (qx-guardian) ended; starting a new one. Until it runs, a "
     "transmitter keyed when QX Manager is killed stays keyed.",
     "送信ガード (qx-guardian) が終了しました。新しいガードを開始します。それが動作するまで、"
     "QX Manager が強制終了されると送信中の無線機は送信状態のままになります。"},
    // --status, in the order of StatusWord (manager/interface_status.h).
    {260, "No interface is connected.", "インターフェイスが接続されていません。"},
    {261, "%s, serial number %s, firmware %s", "%s、シリアル番号 %s、ファームウェア %s"},
    {262, "not known yet", "まだ不明"},
    {263, "keying unguarded: a transmitter keyed when the program is killed stays keyed",
     "送信ガードなし: プログラムが強制終了されると送信中の無線機は送信状態のままになります"},
    {264, "not supported by the interface", "インターフェイスが対応していません"},
    {265, "no port", "ポートなし"},
    {266, "cannot be created", "作成できません"},
    {267, "not open", "開かれていません"},
    {268, "open by %s, %s", "%s が使用中、%s"},
    {269, "%s baud %s", "%s ボー %s"},
    {270, "%s bytes dropped", "%s バイト破棄"},
    {271, "also %s", "別名 %s"},
    {272, "Ports waiting for interface %s:", "インターフェイス %s の再接続を待っているポート:"},
    {273, "Real-time priority: %s", "リアルタイム優先度: %s"},
    {274, "link workers %s", "リンク ワーカー %s"},
    {275, "port threads %s", "ポート スレッド %s"},
    {276, "relays %s", "リレー %s"},
    {277, "not asked", "要求なし"},
    {278, "SCHED_RR from RealtimeKit", "RealtimeKit による SCHED_RR"},
    {279, "normal (%s)", "通常 (%s)"},
    {280, "Keying ports: CUSE, keyed by RTS/DTR", "キーイング ポート: CUSE、RTS/DTR でキーイング"},
    {281, "Keying ports: CUSE, waiting for the keying-port service",
     "キーイング ポート: CUSE、キーイング ポート サービスを待っています"},
    {282, "Keying ports: pseudo-terminals, keying by RTS/DTR unavailable: %s",
     "キーイング ポート: 疑似端末、RTS/DTR によるキーイングは使用できません: %s"},
    // What a folder that is not private was found to be.
    {236, "owner uid %s, mode %s; you are uid %s", "所有者 uid %s、モード %s、あなたは uid %s"},
    {400, "COM%i cannot be created: %s", "COM%i を作成できません: %s"},
    {401, "COM%i cannot be created: another channel has this number",
     "COM%i を作成できません: 別のチャネルがこの番号を使用しています"},
    {402, "Starting with the session cannot be changed: %s",
     "セッション開始時の起動を変更できません: %s"},
    {403,
     "Interface %s: keying unguarded (%s): its transmitter, when keyed as QX Manager is killed, "
     "stays keyed.",
     "インターフェイス %s: 送信ガードなし (%s): QX Manager が強制終了されると、送信中の無線機は"
     "送信状態のままになります。"},
    {404, "The running QX Manager cannot be asked: %s",
     "実行中の QX Manager に問い合わせできません: %s"},
    // The about box.
    {224, "Free software under the GNU General Public License (GPL), version 3 or later.",
     "GNU 一般公衆利用許諾書 (GPL) バージョン 3 以降の下で配布されるフリー ソフトウェアです。"},
    {190, "Waiting for the keying-port service", "キーイング ポート サービスを待っています"},
    {191, "Keying by RTS/DTR is unavailable: %s", "RTS/DTR によるキーイングは使用できません: %s"},
    // Names a screen reader gives the controls; "&" marks the key that reaches a control with Alt.
    {250, "Add a port for %s", "%s のポートを追加"},
    {251, "%s test", "%s テスト"},
    {252, "Program &menu", "プログラムのメニュー(&M)"},
    // The pages' tab titles and controls (ui/dialog_template.cpp); "COMx" and the like stand in
    // until a port's name is shown.
    {300, "Status", "ステータス"},
    {301, "&Interface:", "インターフェース(&I):"},
    {302, "CAT port", "CAT ポート"},
    {303, "COMx", "COMx"},
    {304, "is open by ...", "使用中のプログラム..."},
    {305, "&Add port...", "ポートを追加(&A)..."},
    {306, "Current port parameters", "現在のポート設定"},
    {307, "PTT/CW port", "PTT/CW ポート"},
    {308, "COMy", "COMy"},
    {309, "PTT=RTS", "PTT=RTS"},
    {310, "&Test", "テスト(&T)"},
    {311, "CW=DTR", "CW=DTR"},
    {312, "FSK port", "FSK ポート"},
    {313, "COMz", "COMz"},
    {314, "WinKey port", "WinKey ポート"},
    {315, "Ports", "ポート"},
    {316, "Choose serial port numbers, then press Create/update",
     "シリアルポート番号を選び、「作成/更新」を押してください"},
    {317, "CA&T port:", "CAT ポート(&T):"},
    {318, "PTT/C&W port:", "PTT/CW ポート(&W):"},
    {319, "&FSK port:", "FSK ポート(&F):"},
    {320, "Win&Key port:", "WinKey ポート(&K):"},
    {321, "&Create/update", "作成/更新(&C)"},
    {322, "Remove ports on &device removal", "装置を外したときにポートを削除する(&D)"},
    {323, "&Remove all ports now", "すべてのポートを削除(&R)"},
    {324, "I&gnore serial numbers", "シリアル番号を無視する(&G)"},
    {325, "Settings", "設定"},
    {326, "Interface settings", "インターフェースの設定"},
    {327, "In&vert FSK output", "FSK 出力を反転する(&V)"},
    {328, "Program settings", "プログラムの設定"},
    {329, "&Run QX Manager when the desktop session starts",
     "デスクトップのセッション開始時に QX Manager を起動する(&R)"},
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

}  // namespace qx
