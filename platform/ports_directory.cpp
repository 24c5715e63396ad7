#include "platform/ports_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace qx {
namespace {

Error Refusal(const std::string& text) { return {0, text}; }

std::string NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The user's own choice: created if missing, otherwise taken as it is (it may be a symlink to
// a directory the user picked).
Expected<void> PrepareChosenDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return Error::FromErrno(errno, "cannot create the ports directory " + path);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Refusal("the ports directory " + path + " is not a directory");
    if (::access(path.c_str(), W_OK | X_OK) != 0)
        return Refusal("the ports directory " + path + " is not writable");
    return {};
}

Expected<std::string> Prepared(const std::string& path, const Expected<void>& ready) {
    if (!ready) return ready.error();
    return path;
}

}  // namespace

Expected<void> PreparePrivateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return Error::FromErrno(errno, "cannot create the ports directory " + path);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return Error::FromErrno(errno, "cannot examine the ports directory " + path);
    if (S_ISLNK(st.st_mode)) return Refusal("the ports directory " + path + " is a symlink");
    if (!S_ISDIR(st.st_mode)) return Refusal("the ports directory " + path + " is not a directory");
    if (st.st_uid != ::geteuid())
        return Refusal("the ports directory " + path + " belongs to another user");
    if ((st.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return Error::FromErrno(errno, "cannot make the ports directory " + path + " private");
    return {};
}

Expected<std::string> ResolvePortsDirectory(const std::string& startDirectory) {
    const std::string chosen = NonEmptyEnv("QXM_PORTS_DIR");
    if (!chosen.empty()) {
        // Symlinks to /dev/pts/N are absolute; the directory is made absolute too so that a
        // later change of the working directory cannot move it.
        std::error_code noCurrentDirectory;
        const std::filesystem::path base = startDirectory.empty()
                                               ? std::filesystem::current_path(noCurrentDirectory)
                                               : std::filesystem::path(startDirectory);
        const std::string path = (base / chosen).lexically_normal().string();
        return Prepared(path, PrepareChosenDirectory(path));
    }
    const std::string runtime = NonEmptyEnv("XDG_RUNTIME_DIR");
    const std::string path = !runtime.empty() && runtime.front() == '/'
                                 ? runtime + "/qx-manager"
                                 : "/tmp/qx-manager-" + std::to_string(::geteuid());
    return Prepared(path, PreparePrivateDirectory(path));
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

Error NotAPortName(const std::string& name) {
    return Refusal("\"" + name + "\" is not a port's name (COM1 to COM255)");
}

std::string PortName(int number) { return "COM" + std::to_string(number); }

std::string PortPath(const std::string& directory, int number) {
    return directory + "/" + PortName(number);
}

}  // namespace qx
