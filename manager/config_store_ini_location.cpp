#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "manager/config_store.h"
#include "platform/fd.h"
#include "platform/user_files.h"

namespace qx {
namespace {

// Relative paths (no home found) are anchored at the starting directory, so the path stays
// right after the change of directory below.
std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::vector<char> cwd(4096);
    return ::getcwd(cwd.data(), cwd.size()) ? std::string(cwd.data()) + "/" + path : path;
}

}  // namespace

std::string LocateIniFile() {
    // Failures along the way are ignored: the path is still returned and used, and the first
    // write of a setting creates or fills in the file.
    const std::string folder =
        Absolute(XdgBaseDirectory("XDG_DATA_HOME", "/.local/share") + "/Halvorn/QX Manager");
    MakeDirectories(folder);
    [[maybe_unused]] const int changed = ::chdir(folder.c_str());
    const std::string path = folder + "/QX Manager.ini";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    [[maybe_unused]] const ssize_t marked = fd.Valid() ? ::write(fd.Get(), "\xFF\xFE", 2) : 0;
    SetProfileFile(path);
    return path;
}

}  // namespace qx
