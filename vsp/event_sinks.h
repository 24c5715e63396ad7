#pragma once
// The event connection point of one port component instance: sinks attached with a cookie,
// detached by it, and called for every event the port fires. Any thread.
#include <cstdint>
#include <map>
#include <memory>

#include "core/thread_annotations.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class EventSinks {
public:
    bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie);
    void Unadvise(uint32_t cookie);
    // Calls every sink attached now, outside the lock: a sink may call back into the port.
    void Fire(int dispatchId);

private:
    Mutex mutex_;
    std::map<uint32_t, std::shared_ptr<IVSPortAxEvents>> sinks_ QX_GUARDED_BY(mutex_);
    uint32_t nextCookie_ QX_GUARDED_BY(mutex_) = 1;
};

}  // namespace qx
