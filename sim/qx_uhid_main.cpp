// qx_uhid: a simulated "QX-4" that the kernel sees as a real USB HID device, made through
// /dev/uhid and answered by the simulator's firmware.
//   qx_uhid [--log FILE] [--reply-delay MS] [SERIAL]      (SERIAL defaults to QX4SIM0001)
// With --reply-delay the firmware answers each command MS milliseconds late, as a busy device
// or a loaded machine does.
// Logs every event and every report it receives, one per line, after a monotonic time stamp
// in microseconds, to FILE or standard output. Unplugs the device and ends on SIGTERM, SIGINT
// or the line "destroy" on standard input; the line "input-state N" queues an input state
// report (N as byte 1) on the PTT/CW report id.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "platform/fd.h"
#include "sim/sim_device.h"
#include "sim/uhid_device.h"

namespace {

using namespace qx;

// The seam between the kernel transport and the simulator's firmware.
class SimFirmware : public UhidFirmware {
public:
    explicit SimFirmware(SimDevice& device) : device_(device) {}
    void ReceiveOutput(const UhidReport& report) override {
        device_.Write(device_.Generation(), report.data(), report.size());
    }
    bool NextInput(UhidReport& report) override {
        return device_.Read(device_.Generation(), report.data(), report.size()) > 0;
    }

private:
    SimDevice& device_;
};

long long MonotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// One line of standard input: "destroy" ends the device; "input-state N" (N 0..255) queues an
// input state report on the PTT/CW report id, as the radio's keying input would.
bool HandleLine(const std::string& line, SimDevice& sim, const UhidDevice::Log& log) {
    if (line == "destroy") return true;
    const std::string inputState = "input-state ";
    if (line.rfind(inputState, 0) == 0) {
        const std::string value = line.substr(inputState.size());
        int state = -1;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), state);
        if (error == std::errc() && end == value.data() + value.size() && state >= 0 &&
            state <= 255) {
            sim.QueueInputState(static_cast<uint8_t>(state));
            log("INPUT STATE " + value);
            return false;
        }
    }
    if (!line.empty()) log("UNKNOWN COMMAND " + line);
    return false;
}

// Reads what standard input has and reports whether a "destroy" line came; at end of input
// it stops watching it, since a device started with no input must keep running.
bool DestroyRequested(pollfd& input, std::string& pending, SimDevice& sim,
                      const UhidDevice::Log& log) {
    char buffer[256];
    ssize_t n = ::read(input.fd, buffer, sizeof buffer);
    if (n <= 0) {
        if (n == 0 || errno != EINTR) input.fd = -1;
        return false;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (HandleLine(line, sim, log)) return true;
    }
    if (pending.size() > 1024) pending.clear();  // no line is that long: drop the noise
    return false;
}

int Usage() {
    std::fprintf(stderr, "usage: qx_uhid [--log FILE] [--reply-delay MS] [SERIAL]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    UhidIdentity identity;
    int replyDelay = 0;
    std::unique_ptr<FILE, FileCloser> logFile;
    FILE* out = stdout;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--log" && i + 1 < argc) {
            logFile.reset(std::fopen(argv[++i], "we"));
            if (!logFile) {
                std::fprintf(stderr, "qx_uhid: cannot write %s: %s\n", argv[i],
                             std::strerror(errno));
                return 1;
            }
            out = logFile.get();
        } else if (arg == "--reply-delay" && i + 1 < argc) {
            const std::string_view value = argv[++i];
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), replyDelay);
            if (error != std::errc() || end != value.data() + value.size() || replyDelay < 0 ||
                replyDelay > 10000)
                return Usage();
        } else if (!arg.empty() && arg[0] != '-' && arg.size() < 64) {
            identity.serial = arg;
        } else {
            return Usage();
        }
    }
    UhidDevice::Log log = [out](const std::string& line) {
        std::fprintf(out, "%lld %s\n", MonotonicMicroseconds(), line.c_str());
        std::fflush(out);
    };

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    UniqueFd signals(signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
    UniqueFd ticks(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    const itimerspec everyMillisecond{{0, 1000000}, {0, 1000000}};
    if (!signals.Valid() || !ticks.Valid() ||
        timerfd_settime(ticks.Get(), 0, &everyMillisecond, nullptr) != 0) {
        std::fprintf(stderr, "qx_uhid: %s\n", std::strerror(errno));
        return 1;
    }

    UniqueFd uhid = OpenUhid();
    if (!uhid.Valid()) {
        std::fprintf(stderr, "qx_uhid: cannot open /dev/uhid: %s\n", std::strerror(errno));
        return 1;
    }
    SimDeviceConfig config;
    config.serialNumber = identity.serial;
    config.replyDelayTicks = replyDelay;  // the device is read once a millisecond
    SimDevice sim(config);
    SimFirmware firmware(sim);
    UhidDevice device(std::move(uhid), firmware, log);
    if (!device.Create(identity)) return 1;

    pollfd fds[] = {{device.Fd(), POLLIN, 0},
                    {signals.Get(), POLLIN, 0},
                    {ticks.Get(), POLLIN, 0},
                    {STDIN_FILENO, POLLIN, 0}};
    std::string pending;
    for (;;) {
        if (::poll(fds, 4, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) {
            log("SIGNAL");
            break;
        }
        if (fds[0].revents && !device.HandleEvents()) {
            log(std::string("UHID failed: ") + std::strerror(errno));
            return 1;
        }
        if (fds[3].revents && DestroyRequested(fds[3], pending, sim, log)) break;
        if (fds[2].revents) {
            uint64_t expirations;
            if (::read(ticks.Get(), &expirations, sizeof expirations) < 0 && errno != EAGAIN) break;
            device.SendInput();
        }
    }
    device.Destroy();
    return 0;
}
