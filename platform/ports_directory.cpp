#include "platform/ports_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qx {
namespace {

bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

std::string NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The user's own choice: created if missing, otherwise taken as it is (it may be a symlink to
// a directory the user picked).
bool PrepareChosenDirectory(const std::string& path, std::string* error) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return Fail(error,
                    "cannot create the ports directory " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail(error, "the ports directory " + path + " is not a directory");
    if (::access(path.c_str(), W_OK | X_OK) != 0)
        return Fail(error, "the ports directory " + path + " is not writable");
    return true;
}

}  // namespace

bool PreparePrivateDirectory(const std::string& path, std::string* error) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return Fail(error,
                    "cannot create the ports directory " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return Fail(error,
                    "cannot examine the ports directory " + path + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode)) return Fail(error, "the ports directory " + path + " is a symlink");
    if (!S_ISDIR(st.st_mode))
        return Fail(error, "the ports directory " + path + " is not a directory");
    if (st.st_uid != ::geteuid())
        return Fail(error, "the ports directory " + path + " belongs to another user");
    if ((st.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return Fail(
            error, "cannot make the ports directory " + path + " private: " + std::strerror(errno));
    return true;
}

std::string ResolvePortsDirectory(std::string* error, const std::string& startDirectory) {
    const std::string chosen = NonEmptyEnv("QXM_PORTS_DIR");
    if (!chosen.empty()) {
        // Symlinks to /dev/pts/N are absolute; the directory is made absolute too so that a
        // later change of the working directory cannot move it.
        std::error_code noCurrentDirectory;
        const std::filesystem::path base = startDirectory.empty()
                                               ? std::filesystem::current_path(noCurrentDirectory)
                                               : std::filesystem::path(startDirectory);
        const std::string path = (base / chosen).lexically_normal().string();
        return PrepareChosenDirectory(path, error) ? path : "";
    }
    const std::string runtime = NonEmptyEnv("XDG_RUNTIME_DIR");
    const std::string path = !runtime.empty() && runtime.front() == '/'
                                 ? runtime + "/qx-manager"
                                 : "/tmp/qx-manager-" + std::to_string(::geteuid());
    return PreparePrivateDirectory(path, error) ? path : "";
}

bool IsWritableDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(path.c_str(), W_OK | X_OK) == 0;
}

int PortNumberFromName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return 0;
    if (name[3] == '0') return 0;
    int number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number <= 255 ? number : 0;
}

}  // namespace qx
