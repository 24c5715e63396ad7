#include "tests/support/temp_environment.h"

#include <sys/stat.h>

#include <cstdlib>

namespace qx::test {

TempEnvironment::TempEnvironment() {
    ::mkdir(RuntimeDir().c_str(), 0700);
    Set("XDG_RUNTIME_DIR", RuntimeDir());
    Set("QXM_PORTS_DIR", PortsDir());
}

TempEnvironment::~TempEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

std::string TempEnvironment::IniPath() const {
    return home_.DataHome() + "/Halvorn/QX Manager/QX Manager.ini";
}

void TempEnvironment::Set(const char* name, const std::string& value) {
    if (!saved_.count(name)) {
        const char* old = std::getenv(name);
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    ::setenv(name, value.c_str(), 1);
}

}  // namespace qx::test
