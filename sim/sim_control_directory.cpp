#include "sim/sim_control_directory.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace qx {

namespace {

constexpr int kScanPeriodMs = 20;
constexpr const char* kChannelNames[kChannelCount] = {"CAT", "PTTCW", "FSK", "WINKEY"};

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string Hex(const uint8_t* data, int count) {
    std::string text;
    char pair[3];
    for (int i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", data[i]);
        text += pair;
    }
    return text;
}

}  // namespace

SimControlDirectory::SimControlDirectory(SimHidBackend& backend, std::string directory)
    : backend_(backend), directory_(std::move(directory)), stop_(::eventfd(0, EFD_CLOEXEC)) {
    ::mkdir(directory_.c_str(), 0700);
    thread_ = std::thread(&SimControlDirectory::Run, this);
}

SimControlDirectory::~SimControlDirectory() {
    const uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(stop_.Get(), &one, sizeof one);
    thread_.join();
}

void SimControlDirectory::Run() {
    pollfd stop{stop_.Get(), POLLIN, 0};
    while (::poll(&stop, 1, kScanPeriodMs) == 0 || !(stop.revents & POLLIN)) Scan();
    Scan();  // the last reports reach the logs too
}

void SimControlDirectory::Scan() {
    MutexLock lock(scanGuard_);
    for (int number = 1; number <= backend_.Count(); ++number) {
        const auto device = backend_.Device(number);
        const std::string serial = device->Config().serialNumber;
        if (FileExists(directory_ + "/unplugged-" + serial))
            backend_.Unplug(number);
        else
            backend_.Plug(number);
        AppendLog(number);
    }
}

void SimControlDirectory::AppendLog(int number) {
    const auto device = backend_.Device(number);
    std::size_t& logged = logged_[number];
    const auto reports = device->ReceivedSince(logged);
    if (reports.empty()) return;
    logged += reports.size();
    std::ofstream log(directory_ + "/" + device->Config().serialNumber + ".log", std::ios::app);
    for (const auto& report : reports) {
        const auto& bytes = report.bytes;
        if (bytes[0] == kCommandReportId) {
            const char* text = reinterpret_cast<const char*>(bytes.data() + 1);
            log << "command " << std::string(text, strnlen(text, bytes.size() - 1)) << '\n';
        } else if (bytes[0] == kLineReportId) {
            char flags[8];
            std::snprintf(flags, sizeof flags, "%02x", bytes[1]);
            log << "line " << flags << '\n';
        } else if (const int channel = DataChannelOf(device->Config(), bytes[0]); channel >= 0) {
            log << "data " << kChannelNames[channel] << ' '
                << Hex(bytes.data() + 2, std::min<int>(bytes[1], kMaxPayload)) << '\n';
        }
    }
}

}  // namespace qx
