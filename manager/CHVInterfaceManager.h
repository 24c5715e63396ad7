#pragma once
// The ordered list of live links, one per connected "QX-4": discovery, hot-plug, teardown, and
// the flags of links and ports turned into observer calls. User interface thread only.
//
// The manager sleeps until something happens: its host runs Tick when the news event is
// signalled (a link worker or a port's thread raised a flag), after device notices and requests,
// and at the time the last Tick asked for (the start-up scan, the periodic save, a keying-port
// service to ask again, a port that lost its relay, a keying guardian to start again). Nothing
// runs on a period while every port is served.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "link/CHVInterface.h"
#include "link/CInterfaceNotificatorHander.h"
#include "manager/config_store.h"
#include "manager/port_provisioning.h"
#include "platform/device_notices.h"
#include "platform/hid.h"
#include "platform/keying_guardian.h"
#include "platform/wake_event.h"
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

    using Clock = std::chrono::steady_clock;
    // The first full scan runs this long after the manager is made; later scans come from
    // device notices only.
    static constexpr std::chrono::seconds kStartupScanDelay{5};
    // How often every link's section is saved while the program runs.
    static constexpr std::chrono::minutes kSaveInterval{5};
    // How often a port that lost its service (a keying port's relay) is looked at meanwhile.
    static constexpr std::chrono::milliseconds kUnservedPortInterval{100};
    // Readable when a link's worker or a channel port's thread has raised a flag that Tick turns
    // into observer calls; watch it and call Tick. The workers and ports signal it from their
    // own threads, which never call the observer themselves.
    int NewsFd() const { return news_->Fd(); }
    // Runs what is due at now (the start-up scan, the periodic save, asking a late keying-port
    // service again) and turns the raised flags into observer calls; returns when it is due
    // again by time.
    Clock::time_point Tick(Clock::time_point now = Clock::now());

    void Refresh(bool scanForNew);
    // Starts a link with the device and gives it its ports; or why not: kept apart from the
    // reasons not to (listed already, another model), the device that cannot be opened.
    struct NotAdded {
        enum class Reason { kListed, kOtherModel, kCannotOpen } reason;
        Error cause;  // kCannotOpen: why
    };
    Expected<void, NotAdded> AddInterface(int position, const std::string& key,
                                          const std::string& manufacturer,
                                          const std::string& product, const std::string& path);
    bool RemoveInterface(int index);
    void RemoveAll();

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

    void WatchKeyingGuardian();
    void KeepKeyingGuarded(Clock::time_point now);
    void TurnFlagsIntoCalls();
    Clock::time_point NextDue(Clock::time_point now) const;

    HidBackend& hid_;
    IVSPortAxClass& portClass_;
    std::unique_ptr<DeviceNoticeSource> notices_;
    // Shared with the links and their ports' sinks, which may outlive the manager.
    const std::shared_ptr<WakeEvent> news_ = std::make_shared<WakeEvent>();
    int listChanged_ = 0;
    std::optional<Clock::time_point> startupScanDue_;  // until the start-up scan has run
    Clock::time_point nextSave_;
    const bool ignoreSerialNumbers_;  // fixed at start, for the whole run
    // The keying guardian's end is news; a new one is started at most once a guardianRenewal.
    static constexpr std::chrono::seconds kGuardianRenewal{1};
    std::unique_ptr<KeyingGuardianWatch> guardianWatch_;
    bool guardianLost_ = false;
    Clock::time_point guardianRenewDue_;
    // The last reason each device that is present could not be opened, so that a scan repeats
    // none of them.
    std::map<std::string, std::string> openFailures_;
};

}  // namespace qx
