#include "manager/config_store.h"

#include <cerrno>
#include <climits>
#include <optional>
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

// The edit of the save in progress, made by the outermost SettingsSave, and the first failure
// among its writes.
struct OpenSave {
    std::optional<ProfileEdit> edit;
    int depth = 0;
    int error = 0;
};

OpenSave& CurrentSave() {
    static OpenSave save;
    return save;
}

ProfileEdit& CurrentEdit() { return *CurrentSave().edit; }

void Write(const std::string& section, const std::string& key, const std::string& value) {
    OpenSave& save = CurrentSave();
    if (!save.edit->Set(section, key, value) && save.error == 0) save.error = errno;
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

SettingsSave::SettingsSave() {
    OpenSave& save = CurrentSave();
    if (save.depth++ == 0) save.edit.emplace(ProfileFile());
}

Expected<void> SettingsSave::End() {
    if (ended_) return {};
    ended_ = true;
    OpenSave& save = CurrentSave();
    if (--save.depth != 0) return {};
    // What could be written is written even when one value was refused.
    const int error = !save.edit->Commit() && save.error == 0 ? errno : save.error;
    save.edit.reset();
    save.error = 0;
    if (error == 0) return {};
    ReportSaveFailure(error);
    return Error::FromErrno(error, ProfileFile());
}

// A failure is told once; the next save tries again all the same.
void ReportSaveFailure(int error) {
    SaveFailureReport& report = Report();
    if (report.told || !report.handler) return;
    report.told = true;
    report.handler(ProfileFile(), error);
}

void WriteIntIfChanged(const std::string& section, const std::string& key, int value) {
    const SettingsSave save;
    // A default the value cannot equal, so a missing key is always written.
    const int unlike = value == INT_MAX ? value - 1 : value + 1;
    if (CurrentEdit().GetInt(section, key, unlike) != value) {
        Write(section, key, std::to_string(value));
    }
}

void WriteStringIfChanged(const std::string& section, const std::string& key,
                          const std::string& value) {
    const SettingsSave save;
    if (CurrentEdit().GetString(section, key, "default-default") != value) {
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

void ProgramSettings::Save() const {
    const SettingsSave save;
    removePortsOnDeviceRemoval.Save();
    ignoreSerialNumbers.Save();
}

void WindowSettings::Load() {
    hideInTray.Init("Appearance", "HideInTray", 0);
    selectedInterface.Init("Appearance", "SelectedInterface", "");
    showRemovePortsCheckBox.Init("Ports", "ShowRemovePortsCheckBox", 1);
    showIgnoreSerialNumbers.Init("Ports", "ShowIgnoreSerialNumbers", 1);
}

void WindowSettings::Save() const {
    const SettingsSave save;
    hideInTray.Save();
    selectedInterface.Save();
    showRemovePortsCheckBox.Save();
    showIgnoreSerialNumbers.Save();
}

}  // namespace qx
