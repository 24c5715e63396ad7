#include "tests/support/temp_environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace qx::test {

TempEnvironment::TempEnvironment() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qx-env-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* dir : {"/home", "/run"}) ::mkdir((root_ + dir).c_str(), 0700);
    Set("HOME", Home());
    Set("XDG_DATA_HOME", Home() + "/.local/share");
    Set("XDG_CONFIG_HOME", Home() + "/.config");
    Set("XDG_RUNTIME_DIR", RuntimeDir());
    Set("QXM_PORTS_DIR", PortsDir());
}

TempEnvironment::~TempEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string TempEnvironment::IniPath() const {
    return Home() + "/.local/share/Halvorn/QX Manager/QX Manager.ini";
}

void TempEnvironment::Set(const char* name, const std::string& value) {
    if (!saved_.count(name)) {
        const char* old = std::getenv(name);
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    ::setenv(name, value.c_str(), 1);
}

}  // namespace qx::test
