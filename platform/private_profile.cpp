#include "platform/private_profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// A file without any write permission was made read-only on purpose; access() also catches one
// the user may not write for other reasons. Root passes access() for any file, so the mode
// bits are asked first. False with errno.
bool MayReplace(const std::string& path, mode_t mode) {
    if ((mode & 0222) == 0) {
        errno = EACCES;
        return false;
    }
    return ::access(path.c_str(), W_OK) == 0;
}

std::atomic<std::uint64_t> fileWrites{0};

}  // namespace

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path) {
    return ProfileEdit(path).GetInt(section, key, defaultValue);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path) {
    return ProfileEdit(path).GetString(section, key, defaultValue);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path) {
    ProfileEdit edit(path);
    return edit.Set(section, key, value) && edit.Commit();
}

ProfileEdit::ProfileEdit(const std::string& path)
    : target_(path.empty() ? std::nullopt : WriteTarget(path)),
      targetError_(target_        ? 0
                   : path.empty() ? EINVAL
                                  : errno),
      document_(std::string()) {
    // Reads go through the link as the write does; a file that cannot be read reads as empty.
    FileContent content = ReadWhole(target_.value_or(path));
    exists_ = content.exists;
    readError_ = content.readable || !content.exists ? 0 : content.error;
    mode_ = content.mode;
    if (content.readable) document_ = ProfileDocument(std::move(content.bytes));
}

int ProfileEdit::GetInt(const std::string& section, const std::string& key,
                        int defaultValue) const {
    const std::optional<std::string> text = document_.Find(section, key);
    // Like the classic function, an empty value counts as missing.
    if (!text || text->empty()) return defaultValue;
    return ParseInt(*text);
}

std::string ProfileEdit::GetString(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) const {
    return std::string(
        FirstCharacters(document_.Find(section, key).value_or(defaultValue), kMaxValueCharacters));
}

bool ProfileEdit::Set(const std::string& section, const std::string& key,
                      const std::string& value) {
    if (!document_.Set(section, key, value)) {
        errno = EINVAL;
        return false;
    }
    changed_ = true;
    return true;
}

bool ProfileEdit::Commit() {
    if (!changed_) return true;
    if (!target_) {
        errno = targetError_;
        return false;
    }
    // A file that exists but cannot be read must not be replaced by one holding only the
    // changes, nor a file the user made read-only be replaced at all.
    if (readError_ != 0) {
        errno = readError_;
        return false;
    }
    if (exists_ && !MayReplace(*target_, mode_)) return false;
    if (!ReplaceFile(*target_, document_.Bytes(), mode_)) return false;
    fileWrites.fetch_add(1, std::memory_order_relaxed);
    changed_ = false;
    return true;
}

std::uint64_t ProfileFileWrites() { return fileWrites.load(std::memory_order_relaxed); }

ProfileFileCheck CheckProfileFile(const std::string& path) {
    ProfileFileCheck check;
    const std::optional<std::string> target = WriteTarget(path);
    check.target = target.value_or(path);
    FileContent content = ReadWhole(check.target);
    check.exists = content.exists;
    if (!content.exists) return check;
    if (!MayReplace(check.target, content.mode)) check.cannotWrite = errno;
    check.unreadable = content.readable && ProfileLooksDamaged(content.bytes);
    return check;
}

}  // namespace qx
