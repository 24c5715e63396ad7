#pragma once
// The event sink of one channel port: it only raises the port-change flag, which the manager's
// timer turns into a page refresh, and the holder flag, which it turns into a trace entry. Its lifetime is its connection (shared ownership).
#include <atomic>

#include "vsp/IVSPortAx.h"

namespace qx {

class CVSPDriver final : public IVSPortAxEvents {
public:
    void Invoke(int dispatchId) override {
        switch (dispatchId) {
        case kEventOpened:
        case kEventClosed:
            holderChanged.store(1);
            portChanged.store(1);
            break;
        case kEventSettingsChanged:
        case kEventLinesChanged:
            portChanged.store(1);
            break;
        default:
            break;
        }
    }

    std::atomic<int> portChanged{0};
    std::atomic<int> holderChanged{0};  // opened or closed; taken only while a trace is written
};

}  // namespace qx
