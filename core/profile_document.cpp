#include "core/profile_document.h"

#include <algorithm>

#include "core/utf8.h"

namespace qx {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

bool Utf16LooksDamaged(const std::string& body, bool little) {
    if (body.size() % 2 != 0) return true;
    bool expectLow = false;
    for (size_t at = 0; at < body.size(); at += 2) {
        const unsigned first = static_cast<unsigned char>(body[at]);
        const unsigned second = static_cast<unsigned char>(body[at + 1]);
        const unsigned unit = little ? first | (second << 8) : (first << 8) | second;
        const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (unit == 0 || low != expectLow) return true;
        expectLow = unit >= 0xD800 && unit <= 0xDBFF;
    }
    return expectLow;  // cut between the two halves of a pair
}

bool Utf8LooksDamaged(const std::string& body) {
    for (size_t at = 0; at < body.size();) {
        const size_t from = at;
        const char32_t cp = NextCodePoint(body, at);
        // A malformed sequence advances one byte; U+FFFD itself is three.
        if (cp == 0 || (cp == kReplacementCharacter && at - from != 3)) return true;
    }
    return false;
}

}  // namespace

bool ProfileLooksDamaged(const std::string& bytes) {
    const auto body = [&](size_t mark) { return bytes.substr(mark); };
    if (bytes.rfind("\xFF\xFE", 0) == 0) return Utf16LooksDamaged(body(2), true);
    if (bytes.rfind("\xFE\xFF", 0) == 0) return Utf16LooksDamaged(body(2), false);
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) return Utf8LooksDamaged(body(3));
    return Utf8LooksDamaged(bytes);
}

ProfileDocument::ProfileDocument(std::string bytes) : bytes_(std::move(bytes)) {
    const auto startsWith = [&](const char* mark, size_t n) {
        return bytes_.size() >= n && bytes_.compare(0, n, mark, n) == 0;
    };
    if (startsWith("\xFF\xFE", 2)) {
        encoding_ = ProfileEncoding::Utf16Le;
        bodyBegin_ = 2;
    } else if (startsWith("\xFE\xFF", 2)) {
        encoding_ = ProfileEncoding::Utf16Be;
        bodyBegin_ = 2;
    } else if (startsWith("\xEF\xBB\xBF", 3)) {
        bodyBegin_ = 3;
    }
    Parse();
}

unsigned ProfileDocument::Unit(size_t offset) const {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes_[offset + k]); };
    switch (encoding_) {
    case ProfileEncoding::Utf16Le: return b(0) | (b(1) << 8);
    case ProfileEncoding::Utf16Be: return (b(0) << 8) | b(1);
    default: return b(0);
    }
}

std::string ProfileDocument::Decode(size_t begin, size_t end) const {
    if (encoding_ == ProfileEncoding::Utf8) return bytes_.substr(begin, end - begin);
    std::string out;
    for (size_t at = begin; at < end; at += 2) {
        char32_t cp = Unit(at);
        if (cp >= 0xD800 && cp <= 0xDBFF && at + 2 < end) {
            const unsigned low = Unit(at + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::string ProfileDocument::Encode(const std::string& utf8) const {
    if (encoding_ == ProfileEncoding::Utf8) return utf8;
    std::string out;
    const bool little = encoding_ == ProfileEncoding::Utf16Le;
    const auto put = [&](unsigned unit) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        out += little ? low : high;
        out += little ? high : low;
    };
    for (size_t i = 0; i < utf8.size();) {
        const char32_t cp = NextCodePoint(utf8, i);
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

void ProfileDocument::Parse() {
    lines_.clear();
    const size_t unit = UnitSize();
    bodyEnd_ = bodyBegin_ + (bytes_.size() - bodyBegin_) / unit * unit;
    bool endingKnown = false;
    size_t begin = bodyBegin_;
    for (size_t at = bodyBegin_; at < bodyEnd_;) {
        const unsigned u = Unit(at);
        if (u != '\r' && u != '\n') {
            at += unit;
            continue;
        }
        size_t next = at + unit;
        if (u == '\r' && next < bodyEnd_ && Unit(next) == '\n') next += unit;
        if (!endingKnown) {
            lineEnding_ = Decode(at, next);
            endingKnown = true;
        }
        lines_.push_back(ParseLine(begin, at));
        begin = at = next;
    }
    if (begin < bodyEnd_) lines_.push_back(ParseLine(begin, bodyEnd_));
}

ProfileDocument::Line ProfileDocument::ParseLine(size_t begin, size_t contentEnd) const {
    Line line;
    line.begin = begin;
    line.contentEnd = contentEnd;
    const std::string text = Trim(Decode(begin, contentEnd));
    if (text.empty() || text[0] == ';') return line;
    if (text[0] == '[') {
        // Up to the last "]", so a name holding "]" still reads back; without one, the rest.
        const size_t close = text.rfind(']');
        line.kind = LineKind::Section;
        line.name = Trim(text.substr(1, close == std::string::npos ? close : close - 1));
        return line;
    }
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return line;
    line.kind = LineKind::Key;
    line.name = Trim(text.substr(0, equals));
    line.value = Trim(text.substr(equals + 1));
    // "=" and blanks are one unit in every encoding and never part of a longer sequence. A new
    // value replaces the old one from its first character, so "key = old" becomes "key = new".
    size_t at = begin;
    while (Unit(at) != '=') at += UnitSize();
    at += UnitSize();
    while (at < contentEnd && Unit(at) < 0x80 && IsBlank(static_cast<char>(Unit(at)))) {
        at += UnitSize();
    }
    line.valueBegin = at;
    return line;
}

ProfileDocument::Position ProfileDocument::Locate(const std::string& section,
                                                  const std::string& key) const {
    Position found;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == LineKind::Section) {
            if (found.section) break;  // only the first matching section counts
            if (SameName(line.name, section)) {
                found.section = i;
                found.lastInSection = i;
            }
        } else if (found.section && line.kind == LineKind::Key) {
            found.lastInSection = i;
            if (!found.key && SameName(line.name, key)) found.key = i;
        }
    }
    return found;
}

std::optional<std::string> ProfileDocument::Find(const std::string& section,
                                                 const std::string& key) const {
    const Position at = Locate(Trim(section), Trim(key));
    if (!at.key) return std::nullopt;
    return lines_[*at.key].value;
}

bool ProfileDocument::Set(const std::string& rawSection, const std::string& rawKey,
                          const std::string& value) {
    const std::string section = Trim(rawSection);
    const std::string key = Trim(rawKey);
    const auto breaksLine = [](const std::string& text) {
        return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
    };
    if (section.empty() || key.empty() || breaksLine(section) || breaksLine(key) ||
        breaksLine(value) || key.find('=') != std::string::npos || key[0] == ';' || key[0] == '[') {
        return false;
    }
    if (bytes_.empty()) {
        bytes_ = "\xFF\xFE";
        encoding_ = ProfileEncoding::Utf16Le;
        bodyBegin_ = bodyEnd_ = 2;
    }
    const std::string entry = key + "=" + value;
    const Position at = Locate(section, key);
    if (at.key) {
        const Line& line = lines_[*at.key];
        bytes_.replace(line.valueBegin, line.contentEnd - line.valueBegin, Encode(value));
    } else if (at.section) {
        // Before the anchor's own line ending, so a last line without one stays without one.
        bytes_.insert(lines_[at.lastInSection].contentEnd, Encode(lineEnding_ + entry));
    } else {
        const bool openLine = !lines_.empty() && lines_.back().contentEnd == bodyEnd_;
        const std::string text = (openLine ? lineEnding_ : std::string()) + "[" + section + "]" +
                                 lineEnding_ + entry + lineEnding_;
        bytes_.insert(bodyEnd_, Encode(text));
    }
    Parse();
    return true;
}

}  // namespace qx
