#include "tests/support/temp_home.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "manager/config_store.h"

namespace qx::test {
namespace {

constexpr const char* kVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"};

}  // namespace

TempHome::TempHome() : savedProfile_(ProfileFile()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qx-home-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    savedCwd_ = std::filesystem::current_path().string();
    for (const char* name : kVariables) {
        if (const char* value = std::getenv(name)) savedEnvironment_[name] = value;
    }
    ::setenv("HOME", root_.c_str(), 1);
    ::setenv("XDG_DATA_HOME", DataHome().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", ConfigHome().c_str(), 1);
}

TempHome::~TempHome() {
    std::filesystem::current_path(savedCwd_);
    SetProfileFile(savedProfile_);
    for (const char* name : kVariables) {
        auto saved = savedEnvironment_.find(name);
        if (saved != savedEnvironment_.end())
            ::setenv(name, saved->second.c_str(), 1);
        else
            ::unsetenv(name);
    }
    // Tests may leave folders read-only; make them removable again.
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(root_, ignored);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

}  // namespace qx::test
