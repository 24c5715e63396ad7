#include "vsp/pty_watch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/descriptor_setup.h"
#include "platform/start_thread.h"

namespace qx {
namespace {

// epoll data of the watch's own descriptors; endpoint ids start at 1 and never reach these.
constexpr uint64_t kStopTag = ~uint64_t{0};
constexpr uint64_t kInotifyTag = ~uint64_t{0} - 1;
// How often the settings of ports whose changes go unannounced are looked at.
constexpr auto kSettingsPollInterval = std::chrono::milliseconds(100);

bool AddToEpoll(int epollFd, int fd, uint64_t tag) {
    epoll_data_t data{};
    data.u64 = tag;
    return WatchInput(epollFd, fd, data);
}

}  // namespace

Expected<std::shared_ptr<PtyWatch>> PtyWatch::Start() {
    auto watch = std::make_shared<PtyWatch>();
    watch->epoll_.Reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!watch->epoll_.Valid()) return Error::FromErrno(errno, "making the ports' epoll set");
    watch->inotify_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch->inotify_.Valid())
        return Error::FromErrno(errno, "making the inotify instance that watches the ports");
    watch->stop_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!watch->stop_.Valid() || !AddToEpoll(watch->epoll_.Get(), watch->stop_.Get(), kStopTag) ||
        !AddToEpoll(watch->epoll_.Get(), watch->inotify_.Get(), kInotifyTag))
        return Error::FromErrno(errno, "setting up the ports' watch");
    // No thread to be had (resource limits): no component, not a crash.
    Expected<std::thread> thread =
        StartThread([raw = watch.get()] { raw->Run(); }, "watching the pseudo-terminal ports");
    if (!thread) return thread.error();
    watch->thread_ = std::move(*thread);
    return watch;
}

PtyWatch::~PtyWatch() {
    const uint64_t one = 1;
    if (::write(stop_.Get(), &one, sizeof one) < 0) {
        // An eventfd write fails only when its counter is full, which already wakes the thread.
    }
    if (thread_.joinable()) thread_.join();
}

Expected<void> PtyWatch::Add(const std::shared_ptr<PtyEndpoint>& endpoint,
                             const std::string& slavePath) {
    MutexLock lock(mutex_);
    const int wd = ::inotify_add_watch(inotify_.Get(), slavePath.c_str(), IN_OPEN | IN_CLOSE);
    if (wd < 0) return Error::FromErrno(errno, "watching " + slavePath);
    RemoveWatchesLocked(endpoint->Id());
    endpoints_[endpoint->Id()] = endpoint;
    watches_[wd] = endpoint->Id();
    return {};
}

void PtyWatch::Remove(uint64_t endpointId) {
    MutexLock lock(mutex_);
    RemoveWatchesLocked(endpointId);
    endpoints_.erase(endpointId);
}

void PtyWatch::RemoveWatchesLocked(uint64_t endpointId) {
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (it->second != endpointId) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(inotify_.Get(), it->first);
        it = watches_.erase(it);
    }
}

std::vector<std::shared_ptr<PtyEndpoint>> PtyWatch::Endpoints() const {
    MutexLock lock(mutex_);
    std::vector<std::shared_ptr<PtyEndpoint>> all;
    for (const auto& [id, endpoint] : endpoints_) all.push_back(endpoint);
    return all;
}

std::shared_ptr<PtyEndpoint> PtyWatch::FindById(uint64_t id) const {
    MutexLock lock(mutex_);
    const auto it = endpoints_.find(id);
    return it == endpoints_.end() ? nullptr : it->second;
}

std::shared_ptr<PtyEndpoint> PtyWatch::FindByWatch(int wd) const {
    MutexLock lock(mutex_);
    const auto it = watches_.find(wd);
    if (it == watches_.end()) return nullptr;
    const auto endpoint = endpoints_.find(it->second);
    return endpoint == endpoints_.end() ? nullptr : endpoint->second;
}

// The endpoints are looked up under the watch's lock and called without it: an endpoint's own
// lock may be held by a caller that is about to take the watch's lock (Add, Remove).
void PtyWatch::Run() {
    struct epoll_event events[32];
    for (;;) {
        const int n = ::epoll_wait(epoll_.Get(), events, 32, WaitTimeoutMs());
        if (n < 0 && errno != EINTR) return;
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kStopTag) return;
            if (tag == kInotifyTag) {
                DrainSlaveNotices();
            } else if (const auto endpoint = FindById(tag)) {
                endpoint->OnMasterEvents(events[i].events);
            }
        }
        PollSilentSettings();
    }
}

// Waits without end unless some port's settings must be looked at from time to time.
int PtyWatch::WaitTimeoutMs() const {
    for (const auto& endpoint : Endpoints())
        if (endpoint->SettingsSilent()) return static_cast<int>(kSettingsPollInterval.count());
    return -1;
}

void PtyWatch::PollSilentSettings() {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextSettingsPoll_) return;
    nextSettingsPoll_ = now + kSettingsPollInterval;
    for (const auto& endpoint : Endpoints())
        if (endpoint->SettingsSilent()) endpoint->PollSettings();
}

void PtyWatch::DrainSlaveNotices() {
    alignas(struct inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_.Get(), buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t offset = 0; offset < n;) {
            struct inotify_event notice;
            std::memcpy(&notice, buffer + offset, sizeof notice);
            offset += static_cast<ssize_t>(sizeof notice + notice.len);
            if (notice.mask & IN_Q_OVERFLOW) {
                for (const auto& endpoint : Endpoints()) endpoint->Resynchronize();
                continue;
            }
            const auto endpoint = FindByWatch(notice.wd);
            if (!endpoint) continue;
            if (notice.mask & IN_OPEN) endpoint->OnSlaveOpened();
            if (notice.mask & IN_CLOSE) endpoint->OnSlaveClosed();
        }
    }
}

}  // namespace qx
