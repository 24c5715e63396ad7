#include "tests/vm/manager_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

extern char** environ;

namespace qx::vm {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ManagerProcess::ManagerProcess(const std::vector<std::string>& args,
                               const std::filesystem::path& output,
                               const std::vector<std::string>& env,
                               const std::vector<std::string>& prefix) {
    std::vector<std::string> own = env;
    // The real devices, not simulated ones; no window system.
    own.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<std::string> replaced = {"QXM_SIMULATED_DEVICES", "QXM_PORT_KIND"};
    for (const std::string& entry : own) replaced.push_back(NameOf(entry));
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        if (std::find(replaced.begin(), replaced.end(), NameOf(*e)) == replaced.end())
            environment.push_back(*e);
    environment.insert(environment.end(), own.begin(), own.end());
    std::vector<std::string> argv = prefix;
    argv.push_back(QX_MANAGER_PROGRAM);
    argv.insert(argv.end(), args.begin(), args.end());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawnp(&pid_, argv[0].c_str(), &actions, nullptr, Pointers(argv).data(),
                     Pointers(environment).data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

ManagerProcess::~ManagerProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

void ManagerProcess::Signal(int number) const {
    if (pid_ > 0) kill(pid_, number);
}

int ManagerProcess::Wait(std::chrono::milliseconds bound) {
    int status = 0;
    if (!test::PollUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, bound, kWaitStep))
        return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::optional<long long> LineReportAfter(const UhidProcess& device, const std::string& flags,
                                         long long since) {
    for (const UhidLogLine& line : device.Log())
        if (line.micros >= since && line.text == "REPORT 3: " + flags) return line.micros;
    return std::nullopt;
}

std::vector<std::string> LineReportsAfter(const UhidProcess& device, long long since) {
    std::vector<std::string> flags;
    for (const UhidLogLine& line : device.Log())
        if (line.micros >= since && line.text.rfind("REPORT 3: ", 0) == 0)
            flags.push_back(line.text.substr(10));
    return flags;
}

std::optional<double> KeyAndMeasure(const test::RadioProgram& program, const UhidProcess& device,
                                    unsigned long request, int line,
                                    const std::string& expectedFlags) {
    const long long before = MonotonicMicroseconds();
    if (::ioctl(program.Fd(), request, &line) != 0) return std::nullopt;
    std::optional<long long> arrived;
    if (!test::PollUntil(
            [&] { return (arrived = LineReportAfter(device, expectedFlags, before)).has_value(); },
            kWaitBound, kWaitStep))
        return std::nullopt;
    return (*arrived - before) / 1000.0;
}

void PrintFigures(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%s to line report: n=%zu min %.2f ms, median %.2f ms, max %.2f ms\n", what,
                ms.size(), ms.front(), ms[ms.size() / 2], ms.back());
}

std::optional<double> KillWhileKeyedAndMeasure(ManagerProcess& manager,
                                               const test::RadioProgram& ptt,
                                               const UhidProcess& device) {
    if (!KeyAndMeasure(ptt, device, TIOCMBIS, TIOCM_RTS, "01")) return std::nullopt;
    const long long killed = MonotonicMicroseconds();
    manager.Signal(SIGKILL);
    std::optional<long long> unkeyed;
    if (!test::PollUntil(
            [&] { return (unkeyed = LineReportAfter(device, "00", killed)).has_value(); },
            kWaitBound, kWaitStep))
        return std::nullopt;
    std::vector<std::string> lines = LineReportsAfter(device, killed);
    std::erase(lines, "01");
    EXPECT_EQ(lines, std::vector<std::string>{"00"});
    EXPECT_EQ(manager.Wait(kWaitBound), -1) << "the program was not killed";
    return (*unkeyed - killed) / 1000.0;
}

void CheckKeyingRounds(const test::RadioProgram& ptt, const UhidProcess& device,
                       const std::string& label, const std::string& property) {
    std::vector<double> rts, dtr;
    for (int round = 0; round < 5; ++round) {
        auto up = KeyAndMeasure(ptt, device, TIOCMBIS, TIOCM_RTS, "01");
        ASSERT_TRUE(up) << "RTS up, round " << round;
        auto cw = KeyAndMeasure(ptt, device, TIOCMBIS, TIOCM_DTR, "03");
        ASSERT_TRUE(cw) << "DTR up, round " << round;
        auto cwOff = KeyAndMeasure(ptt, device, TIOCMBIC, TIOCM_DTR, "01");
        ASSERT_TRUE(cwOff) << "DTR down, round " << round;
        auto down = KeyAndMeasure(ptt, device, TIOCMBIC, TIOCM_RTS, "00");
        ASSERT_TRUE(down) << "RTS down, round " << round;
        rts.insert(rts.end(), {*up, *down});
        dtr.insert(dtr.end(), {*cw, *cwOff});
    }
    PrintFigures((label + "RTS change").c_str(), rts);
    PrintFigures((label + "DTR change").c_str(), dtr);
    ::testing::Test::RecordProperty(
        property + "rts_latency_max_us",
        static_cast<int>(*std::max_element(rts.begin(), rts.end()) * 1000));
    ::testing::Test::RecordProperty(
        property + "dtr_latency_max_us",
        static_cast<int>(*std::max_element(dtr.begin(), dtr.end()) * 1000));
    for (double ms : rts) EXPECT_LT(ms, 100.0) << "RTS";
    for (double ms : dtr) EXPECT_LT(ms, 100.0) << "DTR";
}

}  // namespace qx::vm
