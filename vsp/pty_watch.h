#pragma once
// The watch thread of the pseudo-terminal component: one per class object, it follows every
// port of the class (epoll on the masters, inotify on the slaves) and passes what it sees to
// the port's endpoint, which fires the events from this thread.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/thread_annotations.h"
#include "platform/fd.h"
#include "vsp/pty_endpoint.h"

namespace qx {

class PtyWatch {
public:
    // The running watch, or why the epoll set, the inotify instance or the thread cannot be
    // made.
    static Expected<std::shared_ptr<PtyWatch>> Start();
    PtyWatch() = default;  // use Start
    ~PtyWatch();
    PtyWatch(const PtyWatch&) = delete;
    PtyWatch& operator=(const PtyWatch&) = delete;

    int EpollFd() const { return epoll_.Get(); }

    // Follows an endpoint through its slave at slavePath, in place of the slave it followed
    // before; or why the slave cannot be watched, with nothing changed.
    Expected<void> Add(const std::shared_ptr<PtyEndpoint>& endpoint, const std::string& slavePath);
    void Remove(uint64_t endpointId);
    std::vector<std::shared_ptr<PtyEndpoint>> Endpoints() const;

private:
    void Run();
    int WaitTimeoutMs() const;
    void PollSilentSettings();
    void DrainSlaveNotices();
    void RemoveWatchesLocked(uint64_t endpointId) QX_REQUIRES(mutex_);
    std::shared_ptr<PtyEndpoint> FindById(uint64_t id) const;
    std::shared_ptr<PtyEndpoint> FindByWatch(int wd) const;

    UniqueFd epoll_;
    UniqueFd inotify_;
    UniqueFd stop_;
    std::thread thread_;

    mutable Mutex mutex_;
    std::map<uint64_t, std::shared_ptr<PtyEndpoint>> endpoints_
        QX_GUARDED_BY(mutex_);                               // by endpoint id
    std::map<int, uint64_t> watches_ QX_GUARDED_BY(mutex_);  // inotify wd -> endpoint id

    std::chrono::steady_clock::time_point nextSettingsPoll_;  // watch thread only
};

}  // namespace qx
