#include "app/window_rules.h"

#include <algorithm>

#include "app/string_ids.h"
#include "app/strings.h"

namespace qx {
namespace {

WindowTransition Stay(WindowState state, int hideInTray) {
    return {state, hideInTray, WindowOperation::kNone};
}

// Flips "HideInTray" and moves the window to match.
WindowTransition Toggle(int hideInTray) {
    if (hideInTray == 0) return {WindowState::kInTray, 1, WindowOperation::kHideToTray};
    return {WindowState::kShown, 0, WindowOperation::kShowMainWindow};
}

}  // namespace

std::string SelectorEntryText(const std::string& manufacturer, const std::string& product,
                              const std::string& key, const std::string& version) {
    std::string text = manufacturer + " " + product + " (" + key;
    if (std::count(version.begin(), version.end(), '.') == 2) text += ", v." + version;
    return text + ")";
}

int ClampSelection(int index, int count) {
    if (count <= 0) return 0;
    if (index < 0) return -1;
    return std::min(index, count - 1);
}

std::string StoredSelectionText(const std::string& product, const std::string& key) {
    return product + " (" + key + ")";
}

int SelectionAfterRebuild(int current, const std::vector<std::string>& storedForms,
                          const std::string& stored) {
    if (!stored.empty()) {
        const auto match = std::find(storedForms.begin(), storedForms.end(), stored);
        if (match != storedForms.end()) return static_cast<int>(match - storedForms.begin());
    }
    return ClampSelection(current, static_cast<int>(storedForms.size()));
}

std::string PortOperationBalloonText(int kind, int portNumber, int removePortsOnDeviceRemoval) {
    if (kind == 1) return FormatNumber(LoadLocalizedString(kStrCreatingPort), portNumber);
    if (kind == 2 && removePortsOnDeviceRemoval != 0)
        return FormatNumber(LoadLocalizedString(kStrDeletingPort), portNumber);
    return {};
}

CreatedPortsBalloon CreatedPortsBalloonText(const std::vector<std::pair<int, std::string>>& ports) {
    CreatedPortsBalloon balloon;
    for (const auto& [number, path] : ports) {
        if (!balloon.text.empty()) balloon.text += "\n";
        if (path.empty()) {
            balloon.text += FormatNumber(LoadLocalizedString(kStrPortNotCreated), number);
            balloon.stays = true;
        } else {
            balloon.text +=
                FormatTexts(FormatNumber(LoadLocalizedString(kStrPortReady), number), {path});
        }
    }
    return balloon;
}

WindowTransition ApplyWindowEvent(WindowState state, int hideInTray, WindowEvent event) {
    if (state == WindowState::kEnding) return Stay(state, hideInTray);
    switch (event) {
    case WindowEvent::kFirstTick:
        if (hideInTray != 0)
            return {WindowState::kInTray, hideInTray, WindowOperation::kHideToTray};
        return {WindowState::kShown, hideInTray, WindowOperation::kShowMainWindow};
    case WindowEvent::kToggle:
    case WindowEvent::kSysClose:
    case WindowEvent::kSysMinimize: return Toggle(hideInTray);
    case WindowEvent::kHideButton:
        if (hideInTray == 0) return {WindowState::kInTray, 1, WindowOperation::kHideToTray};
        return Stay(state, hideInTray);
    case WindowEvent::kExitRequested: return {state, hideInTray, WindowOperation::kConfirmExit};
    case WindowEvent::kExitConfirmed:
        return {WindowState::kEnding, hideInTray, WindowOperation::kHideAndEnd};
    case WindowEvent::kExitDeclined: return Stay(state, hideInTray);
    case WindowEvent::kRequestShow:
        return hideInTray != 0 ? Toggle(hideInTray) : Stay(state, hideInTray);
    case WindowEvent::kRequestHide:
        return hideInTray == 0 ? Toggle(hideInTray) : Stay(state, hideInTray);
    case WindowEvent::kRequestExit:
        return {WindowState::kEnding, hideInTray, WindowOperation::kEnd};
    }
    return Stay(state, hideInTray);
}

std::optional<WindowEvent> RequestEvent(int code) {
    switch (code) {
    case 1: return WindowEvent::kRequestShow;
    case 2: return WindowEvent::kRequestHide;
    case 3: return WindowEvent::kRequestExit;
    default: return std::nullopt;
    }
}

}  // namespace qx
