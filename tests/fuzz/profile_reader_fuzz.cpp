// Any file content must parse, answer lookups and take a write without losing what it held.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "core/profile_document.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// The stretch of `before` that `after` no longer holds, found as what lies between their
// common start and common end.
std::string Removed(const std::string& before, const std::string& after) {
    size_t same = 0;
    while (same < before.size() && same < after.size() && after[same] == before[same]) ++same;
    size_t tail = 0;
    while (tail < before.size() - same && tail < after.size() - same &&
           after[after.size() - 1 - tail] == before[before.size() - 1 - tail]) {
        ++tail;
    }
    return before.substr(same, before.size() - same - tail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    qx::ProfileDocument document(bytes);
    document.Find("Interface-QX4SIM0001", "PortCat");
    const std::optional<std::string> old = document.Find("Ports", "IgnoreSerialNumbers");

    Require(document.Set("Ports", "IgnoreSerialNumbers", "1"));
    Require(document.Find("Ports", "IgnoreSerialNumbers") == std::string("1"));
    const std::string removed = Removed(bytes, document.Bytes());
    // A missing key is only ever inserted; an existing one loses nothing but its old value.
    if (!old) Require(removed.empty());
    if (old && document.Encoding() == qx::ProfileEncoding::Utf8) {
        Require(removed.find_first_of("\r\n") == std::string::npos);
    }

    qx::ProfileDocument reread(document.Bytes());
    Require(reread.Find("Ports", "IgnoreSerialNumbers") == std::string("1"));
    Require(reread.Encoding() == document.Encoding());
    return 0;
}
