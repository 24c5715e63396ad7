#include "tests/support/program_process.h"
#include "tests/support/poll_until.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qx::test {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ProgramPath() {
    namespace fs = std::filesystem;
    // The test binaries live in folders below the build directory that holds the program.
    for (fs::path dir = fs::read_symlink("/proc/self/exe").parent_path(); dir != dir.root_path();
         dir = dir.parent_path()) {
        if (fs::exists(dir / "qx-manager")) return (dir / "qx-manager").string();
    }
    return "qx-manager";
}

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (name.find('/') != std::string::npos || path == nullptr) return name;
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

std::vector<std::string> ProgramCommand(const std::vector<std::string>& args) {
    std::vector<std::string> command;
    if (const char* emulator = std::getenv("QX_TEST_EMULATOR"); emulator && *emulator)
        command.push_back(emulator);
    command.push_back(ProgramPath());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

ProgramProcess::ProgramProcess(const std::vector<std::string>& args,
                               const std::string& outputPrefix)
    : out_(outputPrefix + ".out"), err_(outputPrefix + ".err") {
    Start(ProgramCommand(args));
}

ProgramProcess::ProgramProcess(const std::string& executable, const std::vector<std::string>& args,
                               const std::string& outputPrefix)
    : out_(outputPrefix + ".out"), err_(outputPrefix + ".err") {
    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), args.begin(), args.end());
    Start(std::move(argv));
}

void ProgramProcess::Start(std::vector<std::string> argv) {
    // Everything is prepared before the fork: the child of a process with threads may only
    // make async-signal-safe calls, so it must not allocate.
    argv[0] = FindProgram(argv[0]);
    std::vector<char*> raw;
    for (std::string& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        // dup2 clears close-on-exec on the copies, so only stdout and stderr reach the program.
        const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
}

ProgramProcess::~ProgramProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> ProgramProcess::Wait(std::chrono::milliseconds bound) {
    const bool ended = PollUntil(
        [&] {
            int status = 0;
            if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_.has_value();
        },
        bound, 10ms);
    return ended ? status_ : std::nullopt;
}

bool ProgramProcess::WaitUntilRunning() {
    bool running = false;
    const bool decided = PollUntil(
        [&] {
            running = Out().find("Virtual ports") != std::string::npos;
            return running || Wait(0ms).has_value();
        },
        10s, 10ms);
    return decided && running;
}

void ProgramProcess::Signal(int number) const { ::kill(pid_, number); }

}  // namespace qx::test
