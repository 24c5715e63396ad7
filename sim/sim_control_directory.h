#pragma once
// Outside control of the simulated devices of a running program, through files in one
// directory (used by end-to-end tests and for trying the program without hardware):
//
//   unplugged-<serial>  while this file exists, the device with that serial number is
//                       unplugged; removing it plugs the device in again. Creating or removing
//                       the file produces the same removal or arrival notice as real hardware.
//   <serial>.log        appended by the simulator, one line per report the device receives:
//                         command <text>       a command (report id 1), e.g. "command LIST"
//                         line <flags>         a line report, flags in hex, e.g. "line 01"
//                         data <channel> <hex> a data report's payload, channel CAT, FSK or
//                                              WINKEY, e.g. "data FSK 5259"
//
// A thread of its own looks at the directory when inotify tells it changed and writes the logs
// when a device received reports, and sleeps otherwise, so an idle program stays idle. Devices
// added after the start are followed from the next wake; where inotify cannot be had, the
// directory is looked at every 20 ms instead.
#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "core/thread_annotations.h"
#include "platform/fd.h"
#include "sim/sim_hid_backend.h"

namespace qx {

class SimControlDirectory {
public:
    SimControlDirectory(SimHidBackend& backend, std::string directory);
    ~SimControlDirectory();
    SimControlDirectory(const SimControlDirectory&) = delete;
    SimControlDirectory& operator=(const SimControlDirectory&) = delete;

    // One look at the directory: plug state from the files, new reports into the logs. The
    // thread does this by itself; a caller may do it at once (it is serialised with the thread).
    void Scan();

private:
    void Run();
    // Sleeps until the stop event, a change in the directory or a received report; false on stop.
    bool WaitForNews(int directoryWatch);
    void AppendLog(int number) QX_REQUIRES(scanGuard_);

    SimHidBackend& backend_;
    const std::string directory_;
    Mutex scanGuard_;
    std::map<int, std::size_t> logged_
        QX_GUARDED_BY(scanGuard_);  // reports already written, per device number
    UniqueFd stop_;
    std::thread thread_;
};

}  // namespace qx
