#include "platform/private_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "platform/fd.h"
#include "platform/profile_document.h"
#include "platform/user_files.h"
#include "platform/utf8.h"

namespace qx {
namespace {

constexpr size_t kMaxValueCharacters = 4095;
// A settings file is a few kilobytes; anything this large is not ours to load into memory.
constexpr off_t kMaxFileSize = 32 * 1024 * 1024;

struct FileContent {
    bool exists = false;
    bool readable = false;
    std::string bytes;
    mode_t mode = 0644;
};

FileContent ReadWhole(const std::string& path) {
    FileContent content;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        content.exists = errno != ENOENT;
        return content;
    }
    content.exists = true;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileSize) {
        return content;
    }
    content.mode = info.st_mode & 07777;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return content;
        }
        content.bytes.append(buffer, static_cast<size_t>(n));
        if (content.bytes.size() > static_cast<size_t>(kMaxFileSize)) return content;
    }
    content.readable = true;
    return content;
}

// A link to the settings file is followed, so the link stays a link.
std::string WriteTarget(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::optional<std::string> ReadValue(const std::string& section, const std::string& key,
                                     const std::string& path) {
    FileContent content = ReadWhole(path);
    if (!content.readable) return std::nullopt;
    return ProfileDocument(std::move(content.bytes)).Find(section, key);
}

// Decimal with an optional sign; parsing stops at the first other character (no digits: 0).
// Out-of-range numbers are clamped rather than wrapped.
int ParseInt(const std::string& text) {
    size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    const long long result = negative ? -magnitude : std::min<long long>(magnitude, INT_MAX);
    return static_cast<int>(result);
}

}  // namespace

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path) {
    const std::optional<std::string> text = ReadValue(section, key, path);
    // Like the classic function, an empty value counts as missing.
    if (!text || text->empty()) return defaultValue;
    return ParseInt(*text);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path) {
    return std::string(
        FirstCharacters(ReadValue(section, key, path).value_or(defaultValue), kMaxValueCharacters));
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path) {
    if (path.empty()) return false;
    const std::string target = WriteTarget(path);
    FileContent content = ReadWhole(target);
    // A file that exists but cannot be read must not be replaced by one holding only this key.
    if (content.exists && !content.readable) return false;
    ProfileDocument document(std::move(content.bytes));
    if (!document.Set(section, key, value)) return false;
    return ReplaceFile(target, document.Bytes(), content.mode);
}

}  // namespace qx
