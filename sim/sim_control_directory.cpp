#include "sim/sim_control_directory.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace qx {

namespace {

constexpr int kScanPeriodMs = 20;  // only without inotify
constexpr uint32_t kDirectoryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr const char* kChannelNames[kChannelCount] = {"CAT", "PTTCW", "FSK", "WINKEY"};

// Reads what a non-blocking descriptor holds (inotify events, an eventfd's count): the news
// is taken in, and the next poll sleeps again.
void Drain(int fd) {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {}
}

// An inotify descriptor that turns readable when files come or go in directory; invalid, and
// said on standard error, when it cannot be had.
UniqueFd WatchDirectory(const std::string& directory) {
    UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch.Valid() &&
        ::inotify_add_watch(watch.Get(), directory.c_str(), kDirectoryChanges) >= 0)
        return watch;
    std::fprintf(stderr, "qx-manager: cannot watch %s (%s): looking every %d ms\n",
                 directory.c_str(), std::strerror(errno), kScanPeriodMs);
    return {};
}

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
    const UniqueFd directoryWatch = WatchDirectory(directory_);
    do {
        Scan();
    } while (WaitForNews(directoryWatch.Get()));
    Scan();  // the last reports reach the logs too
}

bool SimControlDirectory::WaitForNews(int directoryWatch) {
    std::vector<pollfd> watched{{stop_.Get(), POLLIN, 0}};
    if (directoryWatch >= 0) watched.push_back({directoryWatch, POLLIN, 0});
    for (int number = 1; number <= backend_.Count(); ++number)
        watched.push_back({backend_.Device(number)->ReceivedFd(), POLLIN, 0});
    const int timeout = directoryWatch >= 0 ? -1 : kScanPeriodMs;
    if (::poll(watched.data(), watched.size(), timeout) < 0 && errno != EINTR) return false;
    if (watched[0].revents & POLLIN) return false;
    for (std::size_t i = 1; i < watched.size(); ++i) {
        if (watched[i].revents & POLLIN) Drain(watched[i].fd);
    }
    return true;
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
