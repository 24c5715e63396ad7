#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "manager/config_store.h"
#include "platform/fd.h"
#include "platform/private_profile.h"
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

// A new settings file holds only the UTF-16LE byte-order mark. False when it exists already
// or cannot be made (failures are left to the first write, which creates or fills in the file).
bool CreateNewIniFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    return fd.Valid() && ::write(fd.Get(), "\xFF\xFE", 2) == 2;
}

// "<path>.unreadable-20250131-142501", with "-2", "-3"... when a file of that name is there.
bool MoveAside(const std::string& path, std::string& movedTo) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32] = "";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = path + ".unreadable-" + stamp;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        movedTo = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        if (MoveWithoutReplacing(path, movedTo)) return true;
        if (errno != EEXIST) return false;
    }
    return false;
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
    CreateNewIniFile(path);
    SetProfileFile(path);
    return path;
}

std::string SetAsideUnreadableIniFile() {
    const ProfileFileCheck check = CheckProfileFile(ProfileFile());
    if (check.cannotWrite != 0) {
        ReportSaveFailure(check.cannotWrite);
        return {};
    }
    if (!check.unreadable) return {};
    std::string movedTo;
    if (!MoveAside(check.target, movedTo)) {
        ReportSaveFailure(errno);
        return {};
    }
    CreateNewIniFile(check.target);
    return movedTo;
}

}  // namespace qx
