#include "app/autostart_switch.h"

#include <cstdio>

#include "app/string_ids.h"
#include "app/strings.h"
#include "platform/autostart.h"

namespace qx {

bool SwitchProgramAutostart(bool on) {
    const Expected<void> changed = WriteProgramAutostart(on);
    if (changed) return true;
    const std::string line =
        FormatTexts(LoadLocalizedString(kStrAutostartNotChanged), {changed.error().message});
    std::fprintf(stderr, "%s\n", line.c_str());
    return false;
}

}  // namespace qx
