#pragma once
// Helpers for tests inside the virtual machine: a qx_uhid device in a process of its own, the
// kernel's uevent broadcasts, and bounded polls (time runs slowly under emulation).
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/hid.h"
#include "tests/support/poll_until.h"

namespace qx::vm {

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA1DE;

// How long a guest test waits for the kernel or another process, and how often it looks.
constexpr std::chrono::milliseconds kWaitBound{20000};
constexpr std::chrono::milliseconds kWaitStep{5};

// The enumeration entries of QX-4 devices with this serial number.
std::vector<HidDeviceInfo> FindBySerial(HidBackend& backend, const std::string& serial);

struct UhidLogLine {
    long long micros;  // CLOCK_MONOTONIC
    std::string text;
};

// One qx_uhid process: its device is plugged in while it runs; Destroy() unplugs it. It answers
// each command replyDelay late.
class UhidProcess {
public:
    UhidProcess(const std::string& serial, const std::filesystem::path& logPath,
                std::chrono::milliseconds replyDelay = {});
    ~UhidProcess();  // kills the process if still running
    UhidProcess(const UhidProcess&) = delete;
    UhidProcess& operator=(const UhidProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    std::vector<UhidLogLine> Log() const;
    std::vector<std::string> Commands() const;  // the command texts received, in order
    bool Logged(const std::string& text) const;
    bool SendLine(const std::string& line);  // a command line on the process's standard input
    int Destroy();                           // sends "destroy"; the exit status, or -1

private:
    std::filesystem::path logPath_;
    UniqueFd input_;
    pid_t pid_ = -1;
};

// The uevents the kernel broadcasts (what arrives with no udev daemon running).
class KernelUevents {
public:
    KernelUevents();
    bool Valid() const { return socket_.Valid(); }
    // Whether an event of this action and subsystem whose device path contains pathPart has
    // arrived so far.
    bool Saw(const std::string& action, const std::string& subsystem, const std::string& pathPart);

private:
    struct Uevent {
        std::string action, subsystem, path;
    };
    UniqueFd socket_;
    std::vector<Uevent> events_;
};

long long MonotonicMicroseconds();

}  // namespace qx::vm
