#include "platform/port_links.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "platform/ports_directory.h"

namespace qx {

std::optional<std::string> ReadLinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0) return std::nullopt;
    return std::string(target, static_cast<size_t>(n));
}

bool ReplaceLink(const std::string& path, const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".new." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    if (::symlink(target.c_str(), temporary.c_str()) != 0) return false;
    if (::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

bool MayTakeOverName(const std::string& path,
                     const std::function<bool(const std::string& target)>& isLiveTarget) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;
    if (!S_ISLNK(st.st_mode)) return false;
    const auto target = ReadLinkTarget(path);
    return !target || !isLiveTarget(*target);
}

void RemovePortLinks(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (!dir) return;
    while (const struct dirent* entry = ::readdir(dir)) {
        const std::string path = directory + "/" + entry->d_name;
        struct stat st {};
        if (PortNumberFromName(entry->d_name) > 0 && ::lstat(path.c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode))
            ::unlink(path.c_str());
    }
    ::closedir(dir);
}

}  // namespace qx
