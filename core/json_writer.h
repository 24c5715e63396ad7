#pragma once
// A small writer of one JSON document, for output that scripts read: it places the separators
// (", " between values, ": " after a key) and escapes every string it is given, so whatever a
// device or a program named, the output parses.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // The key of the next value; inside an object only.
    JsonWriter& Key(std::string_view key);

    // Malformed UTF-8 becomes U+FFFD; quotes, backslashes and control characters are escaped.
    JsonWriter& String(std::string_view text);
    JsonWriter& Number(int number) { return Number(static_cast<int64_t>(number)); }
    JsonWriter& Number(int64_t number);
    JsonWriter& Number(uint64_t number);
    JsonWriter& Number(double number);  // the shortest text that reads back; null if not finite
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    const std::string& Text() const { return out_; }

private:
    void BeforeValue();

    std::string out_;
    std::vector<bool> firstInLevel_;  // per open object or array: no value written yet
    bool afterKey_ = false;
};

}  // namespace qx
