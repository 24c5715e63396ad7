#include "platform/port_links.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/ports_directory.h"

namespace qx {

std::optional<std::string> ReadLinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0) return std::nullopt;
    return std::string(target, static_cast<size_t>(n));
}

Expected<void> MakeLink(const std::string& path, const std::string& target) {
    if (::symlink(target.c_str(), path.c_str()) != 0)
        return Error::FromErrno(errno, "linking " + path + " to " + target);
    return {};
}

Expected<void> ReplaceLink(const std::string& path, const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary =
        path + ".new." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    if (Expected<void> made = MakeLink(temporary, target); !made) return made;
    if (::rename(temporary.c_str(), path.c_str()) == 0) return {};
    const Error why = Error::FromErrno(errno, "renaming " + temporary + " to " + path);
    ::unlink(temporary.c_str());
    return why;
}

Expected<void> TakeOverName(const std::string& path, const std::string& target,
                            const std::function<bool(const std::string& target)>& isLiveTarget) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            return Error{0, path + " is not a symbolic link: not a port's name, so it stays"};
        const auto held = ReadLinkTarget(path);
        if (held && isLiveTarget(*held)) return Error{0, path + " is held by another port"};
    }
    return ReplaceLink(path, target);
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
