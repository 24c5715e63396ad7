#pragma once
// UTF-8 encoding and decoding that never fails: what cannot be encoded or decoded becomes the
// replacement character U+FFFD, so text from devices and files is always shown, never refused.
#include <cstddef>
#include <string>
#include <string_view>

namespace qx {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Appends the code point; surrogates and values beyond U+10FFFF become U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);
// The code point at text[i], advancing i past it; a malformed sequence yields U+FFFD and
// advances by one byte.
char32_t NextCodePoint(const std::string& text, std::size_t& i);
// The text cut after its first count characters, never inside a UTF-8 sequence.
std::string_view FirstCharacters(std::string_view text, std::size_t count);

}  // namespace qx
