#pragma once
// The built qx-manager (or another program) started as a child process, its standard output and
// error kept in files.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qx::test {

std::string ReadFile(const std::string& path);
// The built program: the nearest qx-manager in the folders above the test binary.
std::string ProgramPath();
// The command that runs the built program with args. Cross-built tests run under the user-mode
// emulator named in QX_TEST_EMULATOR, from which the kernel cannot exec the program itself: the
// emulator then comes first.
std::vector<std::string> ProgramCommand(const std::vector<std::string>& args);
// The path of a program: name itself when it holds a '/', else the first match in PATH (name
// when none matches).
std::string FindProgram(const std::string& name);

class ProgramProcess {
public:
    ProgramProcess(const std::vector<std::string>& args, const std::string& outputPrefix);
    // Another program: executable is a path or a name looked up in PATH (FindProgram).
    ProgramProcess(const std::string& executable, const std::vector<std::string>& args,
                   const std::string& outputPrefix);
    ~ProgramProcess();  // a process still running is killed
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    // The exit code, or nullopt when the process has not ended within the bound.
    std::optional<int> Wait(std::chrono::milliseconds bound = std::chrono::seconds(10));
    // Waits (bounded) until the running instance says where its ports are.
    bool WaitUntilRunning();

    void Signal(int number) const;
    const std::string& OutPath() const { return out_; }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

private:
    void Start(std::vector<std::string> argv);

    std::string out_, err_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace qx::test
