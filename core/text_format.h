#pragma once
// Filling a text's placeholders, for texts from the string table and the program's own lines.
#include <initializer_list>
#include <string>
#include <string_view>

namespace qx {

// pattern with its first "%i" replaced by value (how the texts with a number are formatted).
std::string FormatNumber(std::string_view pattern, int value);
// pattern with its "%s" replaced by values in order; a value's own "%s" stays as it is.
std::string FormatTexts(std::string_view pattern, std::initializer_list<std::string_view> values);

}  // namespace qx
