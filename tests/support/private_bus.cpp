#include "tests/support/private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace qx::test {

namespace {

constexpr int kAddressFd = 3;  // where the daemon prints its address once it listens

void WriteConfig(const std::string& path, const std::string& folder) {
    std::ofstream(path) << "<busconfig>\n"
                           "  <type>session</type>\n"
                           "  <listen>unix:path="
                        << folder
                        << "/bus</listen>\n"
                           "  <auth>EXTERNAL</auth>\n"
                           "  <policy context=\"default\">\n"
                           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                           "    <allow eavesdrop=\"true\"/>\n"
                           "    <allow own=\"*\"/>\n"
                           "  </policy>\n"
                           "</busconfig>\n";
}

}  // namespace

PrivateBus::PrivateBus(const std::string& folder) {
    const std::string config = folder + "/bus.conf";
    WriteConfig(config, folder);
    // Made before the fork: a child of a threaded process may only make async-signal-safe calls.
    const std::string configArg = "--config-file=" + config;
    const std::string printArg = "--print-address=" + std::to_string(kAddressFd);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        if (pipeFds[1] == kAddressFd)
            ::fcntl(kAddressFd, F_SETFD, 0);
        else
            ::dup2(pipeFds[1], kAddressFd);
        ::execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile",
                 printArg.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    // The address comes once the daemon listens; end of file means it failed.
    char c = 0;
    ssize_t n = 0;
    while ((n = ::read(pipeFds[0], &c, 1)) == 1 || (n < 0 && errno == EINTR)) {
        if (n == 1 && c == '\n') break;
        if (n == 1) address_ += c;
    }
    ::close(pipeFds[0]);
    if (n != 1) address_.clear();
}

PrivateBus::~PrivateBus() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

}  // namespace qx::test
