#include "manager/config_store.h"

#include <cerrno>
#include <climits>
#include <utility>

#include "platform/private_profile.h"

namespace qx {
namespace {

std::string& ProfilePath() {
    static std::string path;
    return path;
}

struct SaveFailureReport {
    SaveFailureHandler handler;
    bool told = false;  // once per run: the user has heard of it
};

SaveFailureReport& Report() {
    static SaveFailureReport report;
    return report;
}

// Writes one key; a failure is told once, and the next write tries again all the same.
void Write(const std::string& section, const std::string& key, const std::string& value) {
    if (WritePrivateProfileString(section, key, value, ProfileFile())) return;
    const int cause = errno;
    SaveFailureReport& report = Report();
    if (report.told || !report.handler) return;
    report.told = true;
    report.handler(ProfileFile(), cause);
}

// Texts read back trimmed, so line breaks and the spaces at either end are spelled out.
std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "<CR>";
        else if (c == '\n')
            out += "<LF>";
        else
            out += c;
    }
    if (!out.empty() && out.back() == ' ') out.replace(out.size() - 1, 1, "<SP>");
    if (!out.empty() && out.front() == ' ') out.replace(0, 1, "<SP>");
    return out;
}

std::string Unescape(const std::string& text) {
    static constexpr struct {
        const char* token;
        char c;
    } kTokens[] = {{"<CR>", '\r'}, {"<LF>", '\n'}, {"<SP>", ' '}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (const auto& t : kTokens) {
            if (text.compare(i, 4, t.token) == 0) {
                out += t.c;
                i += 4;
                replaced = true;
                break;
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

}  // namespace

void SetProfileFile(const std::string& path) { ProfilePath() = path; }

const std::string& ProfileFile() { return ProfilePath(); }

void SetSaveFailureHandler(SaveFailureHandler handler) {
    Report() = SaveFailureReport{std::move(handler), false};
}

void WriteIntIfChanged(const std::string& section, const std::string& key, int value) {
    // A default the value cannot equal, so a missing key is always written.
    const int unlike = value == INT_MAX ? value - 1 : value + 1;
    if (GetPrivateProfileInt(section, key, unlike, ProfileFile()) != value) {
        Write(section, key, std::to_string(value));
    }
}

void WriteStringIfChanged(const std::string& section, const std::string& key,
                          const std::string& value) {
    if (GetPrivateProfileString(section, key, "default-default", ProfileFile()) != value) {
        Write(section, key, value);
    }
}

CIniInt::CIniInt(const std::string& section, const std::string& key, int defaultValue) {
    Init(section, key, defaultValue);
}

CIniInt::~CIniInt() { Save(); }

void CIniInt::Init(const std::string& section, const std::string& key, int defaultValue) {
    section_ = section;
    key_ = key;
    value = GetPrivateProfileInt(section, key, defaultValue, ProfileFile());
}

void CIniInt::Save() const {
    if (!section_.empty() && !key_.empty()) WriteIntIfChanged(section_, key_, value);
}

CIniString::CIniString(const std::string& section, const std::string& key,
                       const std::string& defaultValue) {
    Init(section, key, defaultValue);
}

CIniString::~CIniString() { Save(); }

void CIniString::Init(const std::string& section, const std::string& key,
                      const std::string& defaultValue) {
    section_ = section;
    key_ = key;
    value = Unescape(GetPrivateProfileString(section, key, defaultValue, ProfileFile()));
}

void CIniString::Save() const {
    if (!section_.empty() && !key_.empty()) WriteStringIfChanged(section_, key_, Escape(value));
}

ProgramSettings& ProgramSettings::Load() {
    removePortsOnDeviceRemoval.Init("Ports", "RemovePortsOnDeviceRemoval", 1);
    ignoreSerialNumbers.Init("Ports", "IgnoreSerialNumbers", 0);
    return *this;
}

void WindowSettings::Load() {
    hideInTray.Init("Appearance", "HideInTray", 0);
    selectedInterface.Init("Appearance", "SelectedInterface", "");
    showRemovePortsCheckBox.Init("Ports", "ShowRemovePortsCheckBox", 1);
    showIgnoreSerialNumbers.Init("Ports", "ShowIgnoreSerialNumbers", 1);
}

void WindowSettings::Save() const {
    hideInTray.Save();
    selectedInterface.Save();
    showRemovePortsCheckBox.Save();
    showIgnoreSerialNumbers.Save();
}

}  // namespace qx
