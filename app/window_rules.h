#pragma once
// The main window's rules that need no window: selector texts, the selected index, the
// remembered selection, balloon texts and the window's state machine.
#include <optional>
#include <string>
#include <vector>

namespace qx {

// The selector entry of one interface: "M P (K, v.V)" when V has exactly two dots,
// else "M P (K)".
std::string SelectorEntryText(const std::string& manufacturer, const std::string& product,
                              const std::string& key, const std::string& version);

// Keeps a selected index in range of count links: 0 when there are none, count - 1 when it
// is past the end; a negative index stays "none" (-1).
int ClampSelection(int index, int count);

// The text remembered under "SelectedInterface" for a link: "P (K)".
std::string StoredSelectionText(const std::string& product, const std::string& key);

// The selection after the interface list was rebuilt: the first link (in list order) whose
// StoredSelectionText equals stored exactly (case-sensitive, like keys), else the current
// selection clamped. storedForms holds StoredSelectionText of every link in list order.
// An empty stored text matches nothing.
int SelectionAfterRebuild(int current, const std::vector<std::string>& storedForms,
                          const std::string& stored);

// The balloon text of a port operation: kind 1 "Creating ... COM<port>", kind 2 "Deleting
// ... COM<port>" only when ports are removed with the device, else (and for kind 0 and any
// other kind) empty, which takes the balloon away.
std::string PortOperationBalloonText(int kind, int portNumber, int removePortsOnDeviceRemoval);

// What follows "Creating virtual port COM<n>" once the creations have ended: per port, in order,
// "COM<n> is ready: <path>", or that it cannot be created when its path is empty. A failure
// stays until the user dismisses it; readiness expires as the desktop's notifications do.
struct CreatedPortsBalloon {
    std::string text;
    bool stays = false;
};
CreatedPortsBalloon CreatedPortsBalloonText(const std::vector<std::pair<int, std::string>>& ports);

enum class WindowState { kStarting, kShown, kInTray, kEnding };

enum class WindowEvent {
    kFirstTick,   // the first timer tick
    kToggle,      // tray double click, tray menu "Show/hide"
    kHideButton,  // "Hide" button or Esc
    kSysClose,    // system menu close, caption close button, Alt+F4
    kSysMinimize,
    kExitRequested,  // system menu "Exit the program", tray menu "Exit"
    kExitConfirmed,
    kExitDeclined,
    kRequestShow,  // requests of a second start: 1, 2, 3
    kRequestHide,
    kRequestExit,
};

enum class WindowOperation {
    kNone,
    kShowMainWindow,  // restore, show, bring to front, remove the balloon
    kHideToTray,      // hide, show the "minimized to the tray" balloon
    kConfirmExit,     // ask the Yes/No exit question, then report kExitConfirmed/kExitDeclined
    kHideAndEnd,      // hide, stop device notices, remove every link, end the loop
    kEnd,             // stop device notices, remove every link, end the loop (window untouched)
};

struct WindowTransition {
    WindowState state;
    int hideInTray;  // the new value of the "HideInTray" setting
    WindowOperation operation;
};

// What an event does to the window, given its state and the "HideInTray" setting.
// Nothing happens once the window is ending.
WindowTransition ApplyWindowEvent(WindowState state, int hideInTray, WindowEvent event);

// The event of a second start's request code; none for codes outside 1..3.
std::optional<WindowEvent> RequestEvent(int code);

}  // namespace qx
