#pragma once
// The event sink of one channel port: it only raises the port-change flag, which the manager's
// timer turns into a page refresh. Its lifetime is its connection (shared ownership).
#include <atomic>

#include "vsp/IVSPortAx.h"

namespace qx {

class CVSPDriver final : public IVSPortAxEvents {
public:
    void Invoke(int dispatchId) override {
        switch (dispatchId) {
        case kEventOpened:
        case kEventClosed:
        case kEventSettingsChanged:
        case kEventLinesChanged:
            portChanged.store(1);
            break;
        default:
            break;
        }
    }

    std::atomic<int> portChanged{0};
};

}  // namespace qx
