#include "core/text_format.h"

namespace qx {

std::string FormatNumber(std::string_view pattern, int value) {
    std::string text(pattern);
    const std::size_t at = text.find("%i");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(value));
    return text;
}

std::string FormatTexts(std::string_view pattern, std::initializer_list<std::string_view> values) {
    std::string text(pattern);
    std::size_t from = 0;
    for (const std::string_view value : values) {
        const std::size_t at = text.find("%s", from);
        if (at == std::string::npos) break;
        text.replace(at, 2, value);
        from = at + value.size();
    }
    return text;
}

}  // namespace qx
