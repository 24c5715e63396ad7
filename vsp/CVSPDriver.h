#pragma once
// The event sink of one channel port: it raises the port-change flag, which the manager's timer
// turns into a page refresh, and wakes the link's worker, which may be asleep with nothing to
// do until the port has news. Its lifetime is its connection (shared ownership).
#include <atomic>
#include <memory>

#include "platform/wake_event.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class CVSPDriver final : public IVSPortAxEvents {
public:
    explicit CVSPDriver(std::shared_ptr<WakeEvent> worker = nullptr) : worker_(std::move(worker)) {}

    void Invoke(int dispatchId) override {
        switch (dispatchId) {
        case kEventOpened:
        case kEventClosed:
        case kEventSettingsChanged:
        case kEventLinesChanged:
            portChanged.store(1);
            break;
        case kEventBytesWritten:  // news for the worker only: the page shows no data
            break;
        default:
            return;
        }
        if (worker_) worker_->Signal();
    }

    std::atomic<int> portChanged{0};

private:
    const std::shared_ptr<WakeEvent> worker_;
};

}  // namespace qx
