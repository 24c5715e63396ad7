#include <mutex>

#include "link/CHVInterface.h"
#include "manager/config_store.h"
#include "platform/private_profile.h"

namespace qx {
namespace {

constexpr const char* kPortKeys[kChannelCount] = {"PortCat", "PortPttCw", "PortFsk", "PortWinkey"};

std::string SectionOf(const LinkSettings& settings) { return InterfaceSection(settings.key); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A value the integer reading cannot take a number from at all ("abc", "COM5").
bool IsNotANumber(const std::string& text) {
    const std::size_t first = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    return !text.empty() && (first >= text.size() || !IsDigit(text[first]));
}

// The device's own texts go into the file raw; a line break or NUL in them would split the
// line (and could forge other keys), so they become spaces.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    }
    return text;
}

}  // namespace

std::string InterfaceSection(const std::string& key) { return "Interface-" + key; }
const char* PortKey(int channel) { return kPortKeys[channel]; }

const char* ModelName(int modelIndex) { return modelIndex == 0 ? kModelName : ""; }

void LoadSettings(LinkSettings& settings) {
    const std::string section = SectionOf(settings);
    for (int channel : kAllChannels) {
        const std::string text =
            GetPrivateProfileString(section, kPortKeys[channel], "", ProfileFile());
        settings.portNumbers[channel] =
            GetPrivateProfileInt(section, kPortKeys[channel], 0, ProfileFile());
        settings.unusablePortSettings[channel] = IsNotANumber(text) ? text : "";
    }
    settings.fskInverted = GetPrivateProfileInt(section, "FskInverted", 0, ProfileFile());
}

Expected<void> SaveSettings(const LinkSettings& settings) {
    SettingsSave save;
    const std::string section = SectionOf(settings);
    if (*ModelName(settings.modelIndex)) {
        WriteStringIfChanged(section, "ModelName", ModelName(settings.modelIndex));
    }
    WriteStringIfChanged(section, "Manufacturer", OneLine(settings.manufacturer));
    WriteStringIfChanged(section, "Product", OneLine(settings.product));
    for (int channel : kAllChannels) {
        WriteIntIfChanged(section, kPortKeys[channel], settings.portNumbers[channel]);
    }
    WriteIntIfChanged(section, "FskInverted", settings.fskInverted);
    // The file format keeps this key; the program has never had a version to put in it.
    WriteIntIfChanged(section, "FirmwareVersion", 0);
    return save.End();
}

void LoadSettings(CHVInterface& link) {
    LinkSettings settings;
    settings.key = link.key;
    LoadSettings(settings);
    {
        // The worker may be using the port slots already.
        MutexLock lock(link.portGuard);
        for (int channel : kAllChannels) {
            link.ports[channel].portNumber = settings.portNumbers[channel];
            link.ports[channel].unusableSetting = settings.unusablePortSettings[channel];
        }
    }
    link.fskInverted = settings.fskInverted;
}

Expected<void> SaveSettings(const CHVInterface& link) {
    LinkSettings settings;
    settings.key = link.key;
    settings.manufacturer = link.manufacturer;
    settings.product = link.product;
    settings.modelIndex = link.modelIndex;
    {
        MutexLock lock(link.portGuard);
        for (int channel : kAllChannels)
            settings.portNumbers[channel] = link.ports[channel].portNumber;
    }
    settings.fskInverted = link.fskInverted;
    return SaveSettings(settings);
}

}  // namespace qx
