#include "vsp/event_sinks.h"

#include <vector>

namespace qx {

bool EventSinks::Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) {
    if (!sink) return false;
    MutexLock lock(mutex_);
    cookie = nextCookie_++;
    sinks_[cookie] = std::move(sink);
    return true;
}

void EventSinks::Unadvise(uint32_t cookie) {
    MutexLock lock(mutex_);
    sinks_.erase(cookie);
}

void EventSinks::Fire(int dispatchId) {
    std::vector<std::shared_ptr<IVSPortAxEvents>> sinks;
    {
        MutexLock lock(mutex_);
        for (const auto& [cookie, sink] : sinks_) sinks.push_back(sink);
    }
    for (const auto& sink : sinks) sink->Invoke(dispatchId);
}

}  // namespace qx
