#pragma once
// The event sink of one channel port: it raises the port-change flag, which the manager's timer
// turns into a page refresh, and the holder flag, which it turns into a trace entry, and wakes
// the link's worker, which may be asleep with nothing to do until the port has news. Its
// lifetime is its connection (shared ownership).
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
            holderChanged.store(1);
            portChanged.store(1);
            break;
        case kEventSettingsChanged:
        case kEventLinesChanged: portChanged.store(1); break;
        case kEventBytesWritten:  // news for the worker only: the page shows no data
            break;
        default: return;
        }
        if (worker_) worker_->Signal();
    }

    std::atomic<int> portChanged{0};
    std::atomic<int> holderChanged{0};  // opened or closed; taken only while a trace is written

private:
    const std::shared_ptr<WakeEvent> worker_;
};

}  // namespace qx
