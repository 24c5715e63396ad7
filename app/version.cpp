#include "app/version.h"

#include <charconv>

namespace qx {

std::string FormatVersion(uint16_t a, uint16_t b, uint16_t c, uint16_t d) {
    // Piece by piece: "." + std::to_string() made GCC 12's release build report an overlapping
    // copy that cannot happen.
    const auto append = [](std::string& text, uint16_t part) {
        text += '.';
        text += std::to_string(part);
    };
    std::string text = std::to_string(a);
    append(text, b);
    if (c == 0 && d == 0) return text;
    append(text, c);
    if (d != 0) append(text, d);
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

std::string GetBuildDate() { return QX_BUILD_DATE; }

}  // namespace qx
