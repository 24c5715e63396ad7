#include "core/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qx {
namespace {

TEST(Utf8, AppendEncodesEachLengthAndReplacesWhatIsNoCharacter) {
    const struct {
        char32_t codePoint;
        std::string bytes;
    } cases[] = {
        {U'A', "A"},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {U'日', "\xE6\x97\xA5"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0xD800, "\xEF\xBF\xBD"},    // a surrogate
        {0x110000, "\xEF\xBF\xBD"},  // beyond Unicode
    };
    for (const auto& c : cases) {
        std::string out = "x";
        AppendUtf8(out, c.codePoint);
        EXPECT_EQ(out, "x" + c.bytes) << std::hex << static_cast<unsigned>(c.codePoint);
    }
}

TEST(Utf8, NextCodePointDecodesOrReplacesAndAlwaysAdvances) {
    const char32_t kBad = kReplacementCharacter;
    const struct {
        std::string text;
        std::vector<char32_t> codePoints;
    } cases[] = {
        {"a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", {U'a', 0xE9, U'日', 0x1F600}},
        {"\x80z", {kBad, U'z'}},                         // a lone continuation byte
        {"\xC3", {kBad}},                                // cut off at the end
        {"\xE6\x97z", {kBad, kBad, U'z'}},               // cut off before another character
        {"\xC0\xAF", {kBad, kBad}},                      // overlong
        {"\xED\xA0\x80", {kBad, kBad, kBad}},            // an encoded surrogate
        {"\xF4\x90\x80\x80", {kBad, kBad, kBad, kBad}},  // beyond U+10FFFF
        {"\xFF", {kBad}},
    };
    for (const auto& c : cases) {
        std::vector<char32_t> decoded;
        for (std::size_t i = 0; i < c.text.size();) decoded.push_back(NextCodePoint(c.text, i));
        EXPECT_EQ(decoded, c.codePoints) << c.text;
    }
}

TEST(Utf8, FirstCharactersNeverCutsASequence) {
    const std::string text = "a\xC3\xA9\xE6\x97\xA5z";  // a é 日 z
    const struct {
        std::size_t count;
        std::string_view expected;
    } cases[] = {
        {0, ""}, {1, "a"}, {2, "a\xC3\xA9"}, {3, "a\xC3\xA9\xE6\x97\xA5"}, {4, text}, {9, text},
    };
    for (const auto& c : cases) EXPECT_EQ(FirstCharacters(text, c.count), c.expected) << c.count;
}

}  // namespace
}  // namespace qx
