#pragma once
// A private HOME with its own XDG data and config folders for one test: the environment, the
// current directory and the profile file are restored, and the folder removed, afterwards.
#include <map>
#include <string>

namespace qx::test {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& Root() const { return root_; }
    std::string DataHome() const { return root_ + "/data"; }
    std::string ConfigHome() const { return root_ + "/config"; }

private:
    std::string root_;
    std::string savedCwd_;
    std::string savedProfile_;
    std::map<std::string, std::string> savedEnvironment_;  // variables that were set
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
// ASCII text as UTF-16LE with byte-order mark, as the program's own file is stored.
std::string Utf16(const std::string& ascii);

}  // namespace qx::test
