#pragma once
// A private temporary home for one test: HOME, the XDG directories and the ports directory all
// point below a fresh directory, restored and removed when the object goes.
#include <map>
#include <optional>
#include <string>

namespace qx::test {

class TempEnvironment {
public:
    TempEnvironment();
    ~TempEnvironment();
    TempEnvironment(const TempEnvironment&) = delete;
    TempEnvironment& operator=(const TempEnvironment&) = delete;

    const std::string& Root() const { return root_; }
    std::string Home() const { return root_ + "/home"; }
    std::string RuntimeDir() const { return root_ + "/run"; }
    std::string PortsDir() const { return root_ + "/ports"; }
    std::string IniPath() const;  // where the settings file lives in this environment

private:
    void Set(const char* name, const std::string& value);

    std::string root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace qx::test
