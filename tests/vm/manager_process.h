#pragma once
// The real qx-manager in the virtual machine, and the checks radio programs make on its ports
// against a qx_uhid device: shared by the guest tests that run it as root and as a user.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/radio_program.h"
#include "tests/vm/uhid_process.h"

namespace qx::vm {

std::string ReadText(const std::filesystem::path& path);

// One run of qx-manager with the test's environment (real devices, offscreen window) plus env
// ("NAME=value", replacing what is inherited), started through prefix (e.g. setpriv ...) when
// given, its output kept in a file.
class ManagerProcess {
public:
    ManagerProcess(const std::vector<std::string>& args, const std::filesystem::path& output,
                   const std::vector<std::string>& env = {"QXM_PORT_KIND=cuse"},
                   const std::vector<std::string>& prefix = {});
    ~ManagerProcess();
    ManagerProcess(const ManagerProcess&) = delete;
    ManagerProcess& operator=(const ManagerProcess&) = delete;
    bool Started() const { return pid_ > 0; }
    void Signal(int number) const;
    // The exit status once it ended within the bound; -1 otherwise (or when killed).
    int Wait(std::chrono::milliseconds bound);

private:
    pid_t pid_ = -1;
};

// The first line report carrying flags that the device logs after the moment since; its time.
std::optional<long long> LineReportAfter(const UhidProcess& device, const std::string& flags,
                                         long long since);
// The line reports the device logged after the moment since, flags only.
std::vector<std::string> LineReportsAfter(const UhidProcess& device, long long since);
// Changes a keying line the way a rig-control program does and measures how long the device
// waits for the line report; nullopt when it never comes.
std::optional<double> KeyAndMeasure(const test::RadioProgram& program, const UhidProcess& device,
                                    unsigned long request, int line,
                                    const std::string& expectedFlags);
void PrintFigures(const char* what, std::vector<double> ms);
// Raises RTS as a rig-control program does, then kills the program with SIGKILL: the device
// must be told all off by the program's guardian, PTT as it was while CW drops, then PTT. The
// delay from the kill to the all-off report; nullopt when the device stays keyed.
std::optional<double> KillWhileKeyedAndMeasure(ManagerProcess& manager,
                                               const test::RadioProgram& ptt,
                                               const UhidProcess& device);
// Keys PTT by RTS and CW by DTR for five rounds as a rig-control program does, and expects each
// line report within the virtual machine's 100 ms bound. The latencies are printed after label
// and recorded as the test properties <property>_rts_latency_max_us and ..._dtr_...
void CheckKeyingRounds(const test::RadioProgram& ptt, const UhidProcess& device,
                       const std::string& label, const std::string& property);

}  // namespace qx::vm
