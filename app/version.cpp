#include "app/version.h"

#include <charconv>

namespace qx {

std::string FormatVersion(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    std::string text = std::to_string(a) + "." + std::to_string(b);
    if (c == 0 && d == 0) return text;
    text += "." + std::to_string(c);
    if (d != 0) text += "." + std::to_string(d);
    return text;
}

std::string FormatVersionText(std::string_view dotted) {
    uint16_t parts[4] = {0, 0, 0, 0};
    for (uint16_t& part : parts) {
        const std::size_t dot = dotted.find('.');
        const std::string_view field = dotted.substr(0, dot);
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), part);
        if (error != std::errc() || end != field.data() + field.size()) part = 0;
        if (dot == std::string_view::npos) break;
        dotted.remove_prefix(dot + 1);
    }
    return FormatVersion(parts[0], parts[1], parts[2], parts[3]);
}

std::string GetVersionText() { return FormatVersionText(QX_VERSION_TEXT); }

}  // namespace qx
