#include "ui/CTrayIcon.h"

#include "app/strings.h"

namespace qx {

CTrayIcon::CTrayIcon(unsigned id, std::unique_ptr<TrayShell> shell) : shell_(std::move(shell)) {
    record_.id = id;
    record_.tip = TruncateUtf8(LoadLocalizedString(static_cast<int>(id)), kMaxTip);
    shell_->onMessage = [this](unsigned iconId, int mouseMessage) {
        HandleTrayMessage(iconId, mouseMessage);
    };
    shell_->onTrayAvailable = [this] { OnTrayAvailable(); };
}

CTrayIcon::~CTrayIcon() {
    LoadTrayIcon(0);
    shell_->onMessage = nullptr;
    shell_->onTrayAvailable = nullptr;
}

void CTrayIcon::AttachWindow(std::function<void(int)> sendCommand) {
    sendCommand_ = std::move(sendCommand);
    record_.callbackSet = static_cast<bool>(sendCommand_);
}

bool CTrayIcon::SetTrayIcon(int icon, const std::string* tip) {
    wantedIcon_ = icon;
    record_.fields = 0;
    TrayOperation operation;
    if (icon != 0) {
        operation = record_.icon != 0 ? kTrayModify : kTrayAdd;
        record_.icon = icon;
        record_.fields |= kTrayFieldIcon;
    } else {
        if (record_.icon == 0) return true;  // nothing to remove
        operation = kTrayDelete;
    }
    if (tip != nullptr) record_.tip = TruncateUtf8(*tip, kMaxTip);
    if (!record_.tip.empty()) record_.fields |= kTrayFieldTip;
    if (record_.callbackSet) record_.fields |= kTrayFieldMessage;

    const bool ok = shell_->Notify(operation, record_);
    // After a removal or a failure the icon is gone as far as we can tell, so the next
    // SetTrayIcon with an icon adds it again.
    if (operation == kTrayDelete || !ok) record_.icon = 0;
    return ok;
}

void CTrayIcon::OnTrayAvailable() {
    if (wantedIcon_ != 0 && record_.icon == 0) SetTrayIcon(wantedIcon_, nullptr);
}

bool CTrayIcon::LoadTrayIcon(int id) {
    if (id == 0) return SetTrayIcon(0, nullptr);
    record_.tip = TruncateUtf8(LoadLocalizedString(id), kMaxTip);
    return SetTrayIcon(id, nullptr);
}

bool CTrayIcon::ShowBalloon(const std::string& title, const std::string& text, unsigned timeoutMs) {
    record_.infoTitle = TruncateUtf8(title, kMaxInfoTitle);
    record_.info = TruncateUtf8(text, kMaxInfo);
    record_.timeoutMs = timeoutMs;
    record_.infoFlags = kTrayInfoIcon;
    record_.fields |= kTrayFieldInfo;
    if (record_.icon != 0) {
        if (shell_->Notify(kTrayModify, record_)) return true;
        record_.icon = 0;  // lost; its balloon still goes out below
    }
    return shell_->NotifyWithoutIcon(record_);
}

int CTrayIcon::HandleTrayMessage(unsigned id, int mouseMessage) {
    if (id != record_.id) return 0;
    if (mouseMessage != kTrayRightButtonUp && mouseMessage != kTrayLeftDoubleClick) return 0;
    const std::vector<TrayMenuItem> menu = TrayMenu();
    if (menu.empty()) return 0;
    int command = 0;
    if (mouseMessage == kTrayRightButtonUp) {
        command = shell_->TrackMenu(menu);
    } else {
        command = menu.front().command;  // "Show/hide"
    }
    if (command != 0 && sendCommand_) sendCommand_(command);
    return 1;
}

std::vector<TrayMenuItem> TrayMenu() {
    // "&" marks each entry's key, for the menu opened from the keyboard.
    if (WindowLanguage() == kLangJapanese) {
        return {{kCommandShowHide, "表示/非表示(&S)"}, {kCommandExit, "終了(&X)"}};
    }
    return {{kCommandShowHide, "&Show/hide"}, {kCommandExit, "E&xit"}};
}

std::string TruncateUtf8(const std::string& text, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80) {  // the first byte of a character
            if (chars == maxChars) return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}

}  // namespace qx
