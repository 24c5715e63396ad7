#pragma once
// The notification-area services the tray icon record needs, behind one small interface so the
// record logic runs without a desktop tray (tests use a fake; the program uses QSystemTrayIcon).
#include <functional>
#include <string>
#include <vector>

namespace qx {

enum TrayOperation : int { kTrayAdd = 0, kTrayModify = 1, kTrayDelete = 2 };

// Which fields of the record a call carries.
enum TrayField : unsigned {
    kTrayFieldMessage = 0x01,
    kTrayFieldIcon = 0x02,
    kTrayFieldTip = 0x04,
    kTrayFieldInfo = 0x10,
};

constexpr int kTrayInfoIcon = 1;  // balloons carry the information icon
constexpr unsigned kTrayBalloonTimeoutMs = 5000;
// Timeouts as the notification service reads them: 0 keeps a balloon until the user dismisses
// it; all bits set (-1 on the wire) lets it expire as the desktop's notifications normally do.
constexpr unsigned kTrayBalloonStays = 0;
constexpr unsigned kTrayBalloonDesktopTimeout = 0xFFFFFFFFu;

// Mouse messages the shell reports for the icon.
constexpr int kTrayLeftDoubleClick = 0x203;
constexpr int kTrayRightButtonUp = 0x205;

struct TrayRecord {
    unsigned id = 0;
    unsigned fields = 0;
    bool callbackSet = false;  // a window receives the icon's mouse messages
    int icon = 0;              // icon resource shown; 0: no icon as far as the record knows
    std::string tip;           // at most 127 characters
    std::string info;          // balloon text
    std::string infoTitle;     // balloon title
    unsigned timeoutMs = 0;
    int infoFlags = 0;
};

struct TrayMenuItem {
    int command;
    std::string text;
};

class TrayShell {
public:
    virtual ~TrayShell() = default;
    virtual bool Available() const = 0;  // false: the desktop has no tray
    // Adds, changes or removes the icon with the fields the record names; false on failure.
    virtual bool Notify(TrayOperation operation, const TrayRecord& record) = 0;
    // The record's balloon as a desktop notification of its own, for a desktop without a tray
    // (or an icon that was lost); an empty one takes the last one back. False when the desktop
    // has no notification service or it did not take the notification.
    virtual bool NotifyWithoutIcon(const TrayRecord& record) = 0;
    // Shows the menu at the cursor; the chosen command, or 0 when nothing was chosen.
    virtual int TrackMenu(const std::vector<TrayMenuItem>& items) = 0;
    // The icon's mouse messages: (icon id, mouse message).
    std::function<void(unsigned, int)> onMessage;
    // A tray appeared after the shell had found none (a panel started after the program).
    std::function<void()> onTrayAvailable;
};

}  // namespace qx
