#include "platform/user_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/fd.h"

namespace qx {
namespace {

bool WriteAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return {};
}

std::string XdgBaseDirectory(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') return value;
    const std::string home = HomeDirectory();
    // No home at all: the folder is taken relative to the current directory, never from "/".
    return home.empty() ? std::string(fallback).substr(1) : home + fallback;
}

bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

bool ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode) {
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.Valid()) return false;
    const bool written =
        ::fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), bytes) && ::fsync(fd.Get()) == 0;
    fd.Reset();
    if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
        const int cause = errno;
        ::unlink(temp.c_str());
        errno = cause;
        return false;
    }
    return true;
}

bool MoveWithoutReplacing(const std::string& path, const std::string& newPath) {
    return ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0;
}

}  // namespace qx
