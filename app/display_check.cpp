#include "app/display_check.h"

#include <cstdlib>
#include <string_view>

#include "app/string_ids.h"
#include "app/strings.h"

namespace qx {
namespace {

bool Set(const char* value) { return value != nullptr && *value != '\0'; }

bool CandidateAvailable(std::string_view name, bool x11, bool wayland) {
    name = name.substr(0, name.find(':'));
    if (name == "xcb") return x11;
    if (name.substr(0, 7) == "wayland") return wayland;
    return !name.empty();
}

}  // namespace

bool DisplayAvailable(const char* platform, const char* x11Display, const char* waylandDisplay) {
    const bool x11 = Set(x11Display);
    const bool wayland = Set(waylandDisplay);
    if (!Set(platform)) return x11 || wayland;
    std::string_view candidates(platform);
    for (;;) {
        const std::size_t end = candidates.find(';');
        if (CandidateAvailable(candidates.substr(0, end), x11, wayland)) return true;
        if (end == std::string_view::npos) return false;
        candidates.remove_prefix(end + 1);
    }
}

std::string NoDisplayText() { return LoadLocalizedString(kStrNoDisplay); }

bool DisplayAvailable() {
    return DisplayAvailable(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                            std::getenv("WAYLAND_DISPLAY"));
}

}  // namespace qx
