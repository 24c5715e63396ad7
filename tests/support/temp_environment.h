#pragma once
// A TempHome that also holds the run-time directory (single instance, ports) and the ports
// directory of the test, both restored afterwards.
#include <map>
#include <optional>
#include <string>

#include "tests/support/temp_home.h"

namespace qx::test {

class TempEnvironment {
public:
    TempEnvironment();
    ~TempEnvironment();
    TempEnvironment(const TempEnvironment&) = delete;
    TempEnvironment& operator=(const TempEnvironment&) = delete;

    const std::string& Root() const { return home_.Root(); }
    std::string RuntimeDir() const { return Root() + "/run"; }
    std::string PortsDir() const { return Root() + "/ports"; }
    std::string IniPath() const;  // where the settings file lives in this environment

private:
    void Set(const char* name, const std::string& value);

    TempHome home_;
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace qx::test
