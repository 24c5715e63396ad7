#pragma once
// The per-user settings file and the settings bound to it.
#include <string>

namespace qx {

class CHVInterface;

// Finds or creates "$XDG_DATA_HOME/Halvorn/QX Manager/QX Manager.ini" (a new file holds only the
// UTF-16LE byte-order mark), makes it the process's profile file and returns its path.
std::string LocateIniFile();
void SetProfileFile(const std::string& path);
const std::string& ProfileFile();

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
    CIniInt removePortsOnDeviceRemoval;  // "RemovePortsOnDeviceRemoval", default 1
    CIniInt ignoreSerialNumbers;         // "IgnoreSerialNumbers", default 0
    void Load();
};

// A link's section "Interface-<key>".
void LoadSettings(CHVInterface& link);
void SaveSettings(const CHVInterface& link);

}  // namespace qx
