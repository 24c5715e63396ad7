#include "tests/vm/uhid_process.h"
#include "tests/support/poll_until.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>

extern char** environ;

namespace qx::vm {

std::vector<HidDeviceInfo> FindBySerial(HidBackend& backend, const std::string& serial) {
    std::vector<HidDeviceInfo> found;
    for (auto& info : backend.Enumerate(kVendorId, kProductId)) {
        if (info.serialNumber == serial) found.push_back(info);
    }
    return found;
}

long long MonotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

UhidProcess::UhidProcess(const std::string& serial, const std::filesystem::path& logPath,
                         std::chrono::milliseconds replyDelay)
    : logPath_(logPath) {
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) return;
    UniqueFd readEnd(input[0]);
    input_.Reset(input[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, readEnd.Get(), STDIN_FILENO);
    std::string program = QX_UHID_PROGRAM, logArg = logPath.string(), serialArg = serial;
    std::string logOption = "--log", delayOption = "--reply-delay",
                delayArg = std::to_string(replyDelay.count());
    char* argv[] = {program.data(),  logOption.data(), logArg.data(), delayOption.data(),
                    delayArg.data(), serialArg.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

UhidProcess::~UhidProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

std::vector<UhidLogLine> UhidProcess::Log() const {
    std::vector<UhidLogLine> lines;
    std::ifstream file(logPath_);
    for (std::string line; std::getline(file, line);) {
        const auto space = line.find(' ');
        if (space == std::string::npos) continue;
        lines.push_back({std::stoll(line.substr(0, space)), line.substr(space + 1)});
    }
    return lines;
}

std::vector<std::string> UhidProcess::Commands() const {
    std::vector<std::string> commands;
    for (const auto& line : Log()) {
        if (line.text.rfind("CMD ", 0) == 0) commands.push_back(line.text.substr(4));
    }
    return commands;
}

bool UhidProcess::Logged(const std::string& text) const {
    for (const auto& line : Log()) {
        if (line.text == text) return true;
    }
    return false;
}

bool UhidProcess::SendLine(const std::string& line) {
    const std::string text = line + "\n";
    return write(input_.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int UhidProcess::Destroy() {
    if (pid_ <= 0 || !SendLine("destroy")) return -1;
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

KernelUevents::KernelUevents() {
    socket_.Reset(
        socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's own broadcasts
    if (bind(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        socket_.Reset();
}

bool KernelUevents::Saw(const std::string& action, const std::string& subsystem,
                        const std::string& pathPart) {
    char buffer[8192];
    for (ssize_t n; (n = recv(socket_.Get(), buffer, sizeof buffer - 1, 0)) > 0;) {
        buffer[n] = 0;
        Uevent event;
        for (const char* field = buffer; field < buffer + n; field += std::strlen(field) + 1) {
            std::string text = field;
            if (text.rfind("ACTION=", 0) == 0) event.action = text.substr(7);
            if (text.rfind("SUBSYSTEM=", 0) == 0) event.subsystem = text.substr(10);
            if (text.rfind("DEVPATH=", 0) == 0) event.path = text.substr(8);
        }
        events_.push_back(event);
    }
    for (const auto& event : events_) {
        if (event.action == action && event.subsystem == subsystem &&
            event.path.find(pathPart) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace qx::vm
