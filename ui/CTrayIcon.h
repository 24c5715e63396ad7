#pragma once
// The program's icon in the notification area: its record (icon, tip, balloon) kept in step
// with the shell, and the icon's mouse messages turned into window commands (a double click
// toggles the window, the right button opens the menu "Show/hide", "Exit"). A tray that comes
// after the program gets the icon as soon as it is there.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/tray_shell.h"

namespace qx {

constexpr int kCommandShowHide = 32774;
constexpr int kCommandExit = 32776;

class CTrayIcon {
public:
    static constexpr std::size_t kMaxTip = 127;
    static constexpr std::size_t kMaxInfo = 255;
    static constexpr std::size_t kMaxInfoTitle = 63;

    CTrayIcon(unsigned id, std::unique_ptr<TrayShell> shell);
    ~CTrayIcon();  // removes the icon
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    // The window's command handler receives the menu's commands.
    void AttachWindow(std::function<void(int command)> sendCommand);
    // Adds or changes the icon (icon != 0), or removes it (icon == 0); null tip keeps the tip.
    bool SetTrayIcon(int icon, const std::string* tip);
    // Icon and tip from the resources of that id; 0 removes the icon.
    bool LoadTrayIcon(int id);
    // On the icon, or as a desktop notification of its own while no icon is shown; false when
    // neither could be shown. Empty title and text remove a balloon that is up.
    bool ShowBalloon(const std::string& title, const std::string& text,
                     unsigned timeoutMs = kTrayBalloonTimeoutMs);
    // 1 when the message was for this icon and handled, else 0.
    int HandleTrayMessage(unsigned id, int mouseMessage);

    // Our icon is in the notification area as far as we know.
    bool Shown() const { return record_.icon != 0; }
    const TrayRecord& Record() const { return record_; }

private:
    void OnTrayAvailable();

    TrayRecord record_;
    int wantedIcon_ = 0;  // the icon the window asked for, to add once a tray turns up
    std::unique_ptr<TrayShell> shell_;
    std::function<void(int)> sendCommand_;
};

// The menu of the icon in the window language.
std::vector<TrayMenuItem> TrayMenu();
// At most maxChars characters of a UTF-8 text, never splitting a character.
std::string TruncateUtf8(const std::string& text, std::size_t maxChars);

}  // namespace qx
