#pragma once
// The per-user settings file and the settings bound to it.
#include <array>
#include <functional>
#include <string>

#include "core/channel.h"
#include "core/error.h"

namespace qx {

class CHVInterface;

// Finds or creates "$XDG_DATA_HOME/Halvorn/QX Manager/QX Manager.ini" (a new file holds only the
// UTF-16LE byte-order mark), makes it the process's profile file and returns its path.
std::string LocateIniFile();
void SetProfileFile(const std::string& path);

// Checks the profile file before anything reads a setting; for the running instance only, which
// alone writes the file. A file that cannot be read as settings (ProfileLooksDamaged) is moved
// aside whole, beside it as "<name>.unreadable-<date>-<time>", and a new file begun; the new
// name is returned ("" when nothing was moved). A file the user made read-only is kept as it is
// and told as a failed save, so set the failure handler first. Moving that fails is told the same
// way.
std::string SetAsideUnreadableIniFile();
const std::string& ProfileFile();

// Told of the first failed write of the settings file after it was set (so once per run), with
// the file and the errno of the failure; later writes still try. Null: nobody is told.
using SaveFailureHandler = std::function<void(const std::string& path, int error)>;
void SetSaveFailureHandler(SaveFailureHandler handler);
// Tells the handler of a failure to save, with its errno, unless it has heard of one already.
void ReportSaveFailure(int error);

// One save: every settings write made while it lives lands in memory, and the file is written
// once, atomically, when the outermost save ends (only if something changed). Saves nest: an
// inner one joins the outer. A failed write is told like any other. User interface thread only.
class SettingsSave {
public:
    SettingsSave();
    ~SettingsSave() { End(); }
    SettingsSave(const SettingsSave&) = delete;
    SettingsSave& operator=(const SettingsSave&) = delete;

    // Ends the save now. The outermost save writes the file and answers whether this save's
    // writes reached it (an inner save answers success: its writes are the outer one's).
    Expected<void> End();

private:
    bool ended_ = false;
};

// Write-if-changed, the rule of every write to the profile file: a key is written only when the
// file does not already hold this value (a missing key is therefore always written). Each is a
// save of its own unless a SettingsSave is open.
void WriteIntIfChanged(const std::string& section, const std::string& key, int value);
void WriteStringIfChanged(const std::string& section, const std::string& key,
                          const std::string& value);

// An int bound to a section and key: read when initialised, written back (only if changed)
// when destroyed.
class CIniInt {
public:
    CIniInt() = default;
    CIniInt(const std::string& section, const std::string& key, int defaultValue);
    ~CIniInt();
    CIniInt(const CIniInt&) = delete;
    CIniInt& operator=(const CIniInt&) = delete;
    void Init(const std::string& section, const std::string& key, int defaultValue);
    void Save() const;  // write-if-changed

    int value = 0;

private:
    std::string section_, key_;
};

// A text bound to a section and key, stored escaped ("<CR>", "<LF>", "<SP>").
class CIniString {
public:
    CIniString() = default;
    CIniString(const std::string& section, const std::string& key, const std::string& defaultValue);
    ~CIniString();
    CIniString(const CIniString&) = delete;
    CIniString& operator=(const CIniString&) = delete;
    void Init(const std::string& section, const std::string& key, const std::string& defaultValue);
    void Save() const;

    std::string value;

private:
    std::string section_, key_;
};

// The two program-wide settings of "Ports"; they live from start to exit.
struct ProgramSettings {
    ProgramSettings() = default;
    ~ProgramSettings() { Save(); }
    ProgramSettings(const ProgramSettings&) = delete;
    ProgramSettings& operator=(const ProgramSettings&) = delete;

    CIniInt removePortsOnDeviceRemoval;  // "RemovePortsOnDeviceRemoval", default 1
    CIniInt ignoreSerialNumbers;         // "IgnoreSerialNumbers", default 0
    ProgramSettings& Load();  // returns *this, so a constructor can hand on the loaded settings
    void Save() const;        // one save, write-if-changed, as the destructor does
};

// The main window's own four settings ("Appearance" and "Ports"); written back, if changed,
// when the object is destroyed.
struct WindowSettings {
    WindowSettings() = default;
    ~WindowSettings() { Save(); }
    WindowSettings(const WindowSettings&) = delete;
    WindowSettings& operator=(const WindowSettings&) = delete;

    CIniInt hideInTray;               // "Appearance"/"HideInTray", default 0
    CIniString selectedInterface;     // "Appearance"/"SelectedInterface", default ""
    CIniInt showRemovePortsCheckBox;  // "Ports"/"ShowRemovePortsCheckBox", default 1
    CIniInt showIgnoreSerialNumbers;  // "Ports"/"ShowIgnoreSerialNumbers", default 1
    void Load();
    void Save() const;  // one save, write-if-changed, as the destructor does
};

// The values of a link that its section "Interface-<key>" holds.
struct LinkSettings {
    std::string key;
    std::string manufacturer;
    std::string product;
    int modelIndex = 0;
    std::array<int, kChannelCount> portNumbers{};  // CAT, PTT/CW, FSK, WinKey; 0 = none
    // A port key's value that is not a number, as the file holds it ("" = none). It reads as
    // 0, so write-if-changed leaves it in the file.
    std::array<std::string, kChannelCount> unusablePortSettings{};
    int fskInverted = 0;
};

// The section of the interface with this key, and the key of a channel's port number in it.
std::string InterfaceSection(const std::string& key);
const char* PortKey(int channel);

// The model name written as "ModelName"; "" for an unknown model index.
const char* ModelName(int modelIndex);

// Reads the port numbers and FSK inversion of settings.key's section (each default 0).
void LoadSettings(LinkSettings& settings);
// Writes the section's keys in their fixed order, each only if changed, in one save.
Expected<void> SaveSettings(const LinkSettings& settings);

// The same for a live link.
void LoadSettings(CHVInterface& link);
Expected<void> SaveSettings(const CHVInterface& link);

}  // namespace qx
