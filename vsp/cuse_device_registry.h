#pragma once
// Every live device of one CUSE class object, so that DeleteAllPorts can end them and ReusePort
// does not take the name of another instance's live port. Any thread; mutex_ guards the list
// and is held while no other lock is taken.
#include <memory>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "vsp/cuse_endpoint.h"

namespace qx {

class CuseDeviceRegistry {
public:
    // Follows device, whose node is node; forgets the devices that ended.
    void Add(const std::shared_ptr<CuseEndpoint>& device, const std::string& node);
    // Whether a device that has not ended serves node.
    bool IsLiveNode(const std::string& node);
    // Ends every device followed, outside the lock, and forgets them.
    void EndAll();

private:
    struct Entry {
        std::weak_ptr<CuseEndpoint> device;
        std::string node;
    };
    Mutex mutex_;
    std::vector<Entry> devices_ QX_GUARDED_BY(mutex_);
};

}  // namespace qx
