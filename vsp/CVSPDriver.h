#pragma once
// The event sink of one channel port: it raises the port-change flag, which the manager turns
// into a page refresh once the user interface thread is woken, traces opens and closes as they
// happen, and wakes the link's worker, which may be asleep with nothing to do until the port has
// news. Its lifetime is its connection (shared ownership).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/thread_annotations.h"
#include "platform/wake_event.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class CVSPDriver final : public IVSPortAxEvents {
public:
    // worker: the link's worker; userInterface: the thread that reads portChanged.
    explicit CVSPDriver(std::shared_ptr<WakeEvent> worker = nullptr,
                        std::shared_ptr<WakeEvent> userInterface = nullptr)
        : worker_(std::move(worker)), userInterface_(std::move(userInterface)) {}

    void Invoke(int dispatchId) override {
        switch (dispatchId) {
        case kEventOpened:
        case kEventClosed:
            TraceHolder(dispatchId);
            PortChanged();
            break;
        case kEventSettingsChanged:
        case kEventLinesChanged: PortChanged(); break;
        case kEventBytesWritten:  // news for the worker only, but for a port no link serves
            if (TakeUnservedBytes() && userInterface_) userInterface_->Signal();
            break;
        default: return;
        }
        if (worker_) worker_->Signal();
    }

    // Runs on the port's own thread at each open and close (kEventOpened, kEventClosed), so the
    // entry comes when it happens and before the worker reads the program's first bytes. The
    // user interface thread sets it once the port is bound and clears it before the port goes:
    // clearing waits for a call under way, so a call never meets a port that is gone.
    void SetHolderTrace(std::function<void(int dispatchId)> trace) {
        MutexLock lock(traceGuard_);
        holderTrace_ = std::move(trace);
    }

    // Set while the port waits for its interface, cleared (waiting for a call under way) before
    // the port is served again or goes: called on the port's own thread for every write into an
    // empty port, it takes what the programs wrote and returns the count. So no program waits for
    // the user interface thread to make room, and a close that follows a write at once cannot
    // throw the bytes away uncounted; the user interface thread is woken to show the count.
    void SetUnservedBytesTaker(std::function<uint64_t()> take) {
        MutexLock lock(takerGuard_);
        takeUnserved_ = std::move(take);
    }

    std::atomic<int> portChanged{0};

private:
    void PortChanged() {
        portChanged.store(1);
        if (userInterface_) userInterface_->Signal();
    }
    void TraceHolder(int dispatchId) {
        MutexLock lock(traceGuard_);
        if (holderTrace_) holderTrace_(dispatchId);
    }
    bool TakeUnservedBytes() {
        MutexLock lock(takerGuard_);
        return takeUnserved_ && takeUnserved_() > 0;
    }

    const std::shared_ptr<WakeEvent> worker_;
    const std::shared_ptr<WakeEvent> userInterface_;
    Mutex traceGuard_;
    std::function<void(int)> holderTrace_ QX_GUARDED_BY(traceGuard_);
    Mutex takerGuard_;
    std::function<uint64_t()> takeUnserved_ QX_GUARDED_BY(takerGuard_);
};

}  // namespace qx
