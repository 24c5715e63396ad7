#pragma once
// The program's version text, as shown in the about box.
#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

// a.b, then c (and d) only when they carry something: 1.2.0.0 -> "1.2", 1.2.3.0 -> "1.2.3",
// 1.2.0.4 -> "1.2.0.4", 1.2.3.4 -> "1.2.3.4".
std::string FormatVersion(uint16_t a, uint16_t b, uint16_t c, uint16_t d);
// The same rule over a dotted text of up to four numbers ("1.0.0" -> "1.0"); missing or
// unreadable parts count as 0.
std::string FormatVersionText(std::string_view dotted);
// The version of this build.
std::string GetVersionText();
// The date of this build, "YYYY-MM-DD" (UTC; from SOURCE_DATE_EPOCH when that is set).
std::string GetBuildDate();

}  // namespace qx
