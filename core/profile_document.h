#pragma once
// The bytes of one profile (INI) file, parsed for lookups and edited in place. Only the line a
// write touches changes; every other byte (comments, unknown lines, line endings, a stray odd
// byte at the end of a UTF-16 file) is kept as it was.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qx {

enum class ProfileEncoding { Utf8, Utf16Le, Utf16Be };

// Whether bytes cannot be taken as a profile file at all, so keeping them and appending settings
// after them would only hide the damage: a UTF-16 file (known by its byte-order mark) cut inside
// a character or holding NUL or unpaired surrogates; any other file holding NUL bytes or bytes
// that are not UTF-8 (random bytes, or UTF-16 without a mark). Unknown sections, comments and
// lines without "=" are a readable file's own business; an empty or mark-only file is a new one.
bool ProfileLooksDamaged(const std::string& bytes);

class ProfileDocument {
public:
    // Any bytes parse; what cannot be read simply matches nothing. An empty input becomes a
    // UTF-16LE file with byte-order mark on the first write.
    explicit ProfileDocument(std::string bytes);

    // The value (trimmed, UTF-8) of the first matching key in the first matching section;
    // names compare without regard to ASCII case.
    std::optional<std::string> Find(const std::string& section, const std::string& key) const;
    // Changes the value in place, or adds the key at the end of its section, or the section at
    // the end of the file. False (and nothing changed) for names or values a profile line cannot
    // hold: empty names, line breaks or NULs, "=" in a key, a key opening like a comment or a
    // section.
    bool Set(const std::string& section, const std::string& key, const std::string& value);

    const std::string& Bytes() const { return bytes_; }
    ProfileEncoding Encoding() const { return encoding_; }

private:
    enum class LineKind { Other, Section, Key };
    struct Line {
        size_t begin = 0;       // raw offset of the first byte
        size_t contentEnd = 0;  // raw offset of the line ending (or of the body's end)
        size_t valueBegin = 0;  // key lines: raw offset just after "="
        LineKind kind = LineKind::Other;
        std::string name;   // section or key name, trimmed
        std::string value;  // key lines: the value, trimmed
    };
    struct Position {
        std::optional<size_t> section;  // index of the first matching section line
        std::optional<size_t> key;      // index of the matching key line within it
        size_t lastInSection = 0;       // the line a new key goes after
    };

    void Parse();
    Line ParseLine(size_t begin, size_t contentEnd) const;
    Position Locate(const std::string& section, const std::string& key) const;
    unsigned Unit(size_t offset) const;
    std::string Decode(size_t begin, size_t end) const;
    std::string Encode(const std::string& utf8) const;
    size_t UnitSize() const { return encoding_ == ProfileEncoding::Utf8 ? 1 : 2; }

    std::string bytes_;
    ProfileEncoding encoding_ = ProfileEncoding::Utf8;
    size_t bodyBegin_ = 0;  // after the byte-order mark
    size_t bodyEnd_ = 0;    // before an odd trailing byte of a UTF-16 file
    std::string lineEnding_ = "\r\n";
    std::vector<Line> lines_;
};

}  // namespace qx
