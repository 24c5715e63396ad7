#pragma once
// The ordered list of live links, one per connected "QX-4": discovery, hot-plug, teardown, and
// the flags of links and ports turned into observer calls. User interface thread only.
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "link/CHVInterface.h"
#include "link/CInterfaceNotificatorHander.h"
#include "manager/config_store.h"
#include "manager/port_provisioning.h"
#include "platform/device_notices.h"
#include "platform/hid.h"
#include "vsp/CVSPDriver.h"

namespace qx {

// The line that tells a device cannot be opened, from its key and the reason. The application
// sets its own words, in the user's language, once at start; unset, the line is English.
using OpenFailureWording =
    std::function<std::string(const std::string& key, const std::string& reason)>;
void SetOpenFailureWording(OpenFailureWording wording);

class CHVInterfaceManager : public CInterfaceNotificatorHander {
public:
    // settings must be loaded: how devices are keyed is read from them here, once per run.
    CHVInterfaceManager(HidBackend& hid, IVSPortAxClass& portClass, ProgramSettings& settings);
    ~CHVInterfaceManager();

    // Device notices: after RegisterNotifications, watch NoticeFd() (-1: none) for readability
    // and call HandleDeviceNotices().
    void RegisterNotifications();
    void UnregisterNotifications();
    int NoticeFd() const;
    void HandleDeviceNotices();

    void Refresh(bool scanForNew);
    bool AddInterface(int position, const std::string& key, const std::string& manufacturer,
                      const std::string& product, const std::string& path);
    bool RemoveInterface(int index);
    void RemoveAll();
    void Tick();  // every 100 ms

    int OnPortOperation(int state, int portNumber) override;  // forwards to observer

    int Count() const { return static_cast<int>(list.size()); }
    CHVInterface* Link(int index) const;  // null when out of range

    CInterfaceNotificatorHander* observer = nullptr;
    std::vector<std::unique_ptr<CHVInterface>> list;
    PortProvisioning provisioning;

private:
    std::string KeyOf(const HidDeviceInfo& info, std::size_t position);
    void RemoveLinksOn(const std::set<std::string>& removedNodes);
    void ReportOpenFailure(const std::string& key, const std::string& reason);

    HidBackend& hid_;
    std::unique_ptr<DeviceNoticeSource> notices_;
    int listChanged_ = 0;
    int startupCountdown_ = 50;
    const bool ignoreSerialNumbers_;  // fixed at start, for the whole run
    // The last reason each device that is present could not be opened, so that a scan repeats
    // none of them.
    std::map<std::string, std::string> openFailures_;
};

}  // namespace qx
