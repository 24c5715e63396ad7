#include "platform/private_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "core/profile_document.h"
#include "core/utf8.h"
#include "platform/fd.h"
#include "platform/user_files.h"

namespace qx {
namespace {

constexpr size_t kMaxValueCharacters = 4095;
// A settings file is a few kilobytes; anything this large is not ours to load into memory.
constexpr off_t kMaxFileSize = 32 * 1024 * 1024;

struct FileContent {
    bool exists = false;
    bool readable = false;
    int error = 0;  // why an existing file is not readable
    std::string bytes;
    mode_t mode = 0644;
};

FileContent ReadWhole(const std::string& path) {
    FileContent content;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        content.exists = errno != ENOENT;
        content.error = errno;
        return content;
    }
    content.exists = true;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        content.error = errno;
        return content;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxFileSize) {
        content.error = S_ISDIR(info.st_mode) ? EISDIR : S_ISREG(info.st_mode) ? EFBIG : EINVAL;
        return content;
    }
    content.mode = info.st_mode & 07777;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            content.error = errno;
            return content;
        }
        content.bytes.append(buffer, static_cast<size_t>(n));
        if (content.bytes.size() > static_cast<size_t>(kMaxFileSize)) {
            content.error = EFBIG;
            return content;
        }
    }
    content.readable = true;
    return content;
}

// Where a write lands: links to the settings file are followed, a dangling one too, so a link
// stays a link (settings kept on a drive that is not mounted yet are not forked into a local
// copy; with the target's folder missing the write fails). Nullopt, with errno, when the chain
// cannot be followed.
constexpr int kMaxLinkHops = 40;

std::optional<std::string> WriteTarget(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0) {
            if (errno == ENOENT) return current;  // a new file; its folder must exist
            return std::nullopt;
        }
        if (!S_ISLNK(info.st_mode)) return current;
        char target[PATH_MAX];
        const ssize_t size = ::readlink(current.c_str(), target, sizeof target - 1);
        if (size < 0) return std::nullopt;
        const std::string next(target, static_cast<size_t>(size));
        const size_t slash = current.rfind('/');
        current = next.front() == '/' || slash == std::string::npos
                      ? next
                      : current.substr(0, slash + 1) + next;
    }
    errno = ELOOP;
    return std::nullopt;
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
    errno = EINVAL;
    if (path.empty()) return false;
    const std::optional<std::string> target = WriteTarget(path);
    if (!target) return false;
    FileContent content = ReadWhole(*target);
    // A file that exists but cannot be read must not be replaced by one holding only this key.
    if (content.exists && !content.readable) {
        errno = content.error;
        return false;
    }
    ProfileDocument document(std::move(content.bytes));
    if (!document.Set(section, key, value)) {
        errno = EINVAL;
        return false;
    }
    return ReplaceFile(*target, document.Bytes(), content.mode);
}

}  // namespace qx
