#include "manager/CHVInterfaceManager.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/trace.h"
#include "platform/uevent_monitor.h"

namespace qx {
namespace {

constexpr std::size_t kMaxEnumerationEntries = 100;
constexpr std::size_t kMaxPathLength = 120;

bool IsOurDevice(const HidDeviceInfo& info) {
    return info.vendorId == kVendorId && info.productId == kProductId;
}

// The device node a path ends in: "hidraw0" both in the kernel's device path of a notice and in
// the enumeration path "/dev/hidraw0".
std::string DeviceNode(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// Set once at start, before any manager exists; user interface thread only.
OpenFailureWording& Wording() {
    static OpenFailureWording wording;
    return wording;
}

}  // namespace

CHVInterfaceManager::CHVInterfaceManager(HidBackend& hid, IVSPortAxClass& portClass,
                                         ProgramSettings& settings)
    : provisioning(portClass, settings.removePortsOnDeviceRemoval.value),
      hid_(hid),
      portClass_(portClass),
      ignoreSerialNumbers_(settings.ignoreSerialNumbers.value != 0) {
    const Clock::time_point now = Clock::now();
    startupScanDue_ = now + kStartupScanDelay;
    nextSave_ = now + kSaveInterval;
    WatchKeyingGuardian();
}

void CHVInterfaceManager::WatchKeyingGuardian() {
    Expected<std::unique_ptr<KeyingGuardianWatch>> watch = KeyingGuardianWatch::Start(news_);
    if (watch)
        guardianWatch_ = std::move(*watch);
    else
        SayDiagnostic(Diagnostic::kGuardianTrouble, {watch.error().message});
}

// A guardian that ended (killed, say) is said once and replaced, and the new one takes every
// open device; one that cannot start leaves them unguarded, as the pages show.
void CHVInterfaceManager::KeepKeyingGuarded(Clock::time_point now) {
    if (guardianWatch_ && guardianWatch_->Ended()) {
        guardianWatch_.reset();
        guardianLost_ = true;
        SayDiagnostic(Diagnostic::kGuardianEnded, {});
    }
    if (!guardianLost_ || now < guardianRenewDue_) return;
    guardianLost_ = false;
    guardianRenewDue_ = now + kGuardianRenewal;
    if (Expected<void> renewed = RenewKeyingGuardian(); renewed)
        WatchKeyingGuardian();
    else
        SayDiagnostic(Diagnostic::kGuardianTrouble, {renewed.error().message});
    if (observer)
        for (int i = 0; i < Count(); ++i) observer->OnInterfaceChanged(i);
}

// Links are normally removed by the exit path; removing what is left keeps ports and settings
// from being lost when the manager goes first.
CHVInterfaceManager::~CHVInterfaceManager() { RemoveAll(); }

void CHVInterfaceManager::RegisterNotifications() { notices_ = hid_.OpenNoticeSource(); }

void CHVInterfaceManager::UnregisterNotifications() { notices_.reset(); }

int CHVInterfaceManager::NoticeFd() const { return notices_ ? notices_->Fd() : -1; }

// A burst of notices (a hub with several devices, a quick replug) costs one removal check and
// one scan rather than one enumeration per notice.
void CHVInterfaceManager::HandleDeviceNotices() {
    if (!notices_) return;
    bool arrival = false;
    std::set<std::string> removedNodes;
    for (const DeviceNotice& notice : notices_->ReadNotices()) {
        if (notice.kind == DeviceNotice::kArrival)
            arrival = true;
        else if (NoticeNamesOurDevice(notice.devicePath))
            removedNodes.insert(DeviceNode(notice.devicePath));
    }
    if (!removedNodes.empty()) {
        RemoveLinksOn(removedNodes);
        Refresh(false);
    }
    if (arrival) Refresh(true);
}

// A device that was unplugged and plugged back before its notices were handled is enumerated
// again under its key, so the removal check would keep its link, whose handle still points at
// the connection that is gone, and the device would never be read again. The removal notice
// names the device node, so that link goes, and the scan that follows makes it anew.
void CHVInterfaceManager::RemoveLinksOn(const std::set<std::string>& removedNodes) {
    for (std::size_t i = 0; i < list.size();) {
        if (removedNodes.count(DeviceNode(list[i]->devicePath)))
            RemoveInterface(static_cast<int>(i));
        else
            ++i;
    }
}

// The setting is read once, at start. Changing how keys are formed under running links would
// give a connected device a second key: the next scan would link it again and the removal
// check would then drop the original link and its ports. A click takes effect at the next start.
std::string CHVInterfaceManager::KeyOf(const HidDeviceInfo& info, std::size_t position) {
    return ignoreSerialNumbers_ ? std::to_string(position + 1) : info.serialNumber;
}

void CHVInterfaceManager::Refresh(bool scanForNew) {
    const std::vector<HidDeviceInfo> devices = hid_.Enumerate(0, 0);
    const std::size_t count = std::min(devices.size(), kMaxEnumerationEntries);
    if (scanForNew) {
        for (std::size_t position = 0; position < count; ++position) {
            const HidDeviceInfo& info = devices[position];
            if (!IsOurDevice(info)) continue;
            const std::string key = KeyOf(info, position);
            const Expected<void, NotAdded> added =
                AddInterface(static_cast<int>(position), key, info.manufacturer, info.product,
                             info.path.substr(0, kMaxPathLength));
            if (!added && added.error().reason == NotAdded::Reason::kCannotOpen)
                ReportOpenFailure(key, added.error().cause.message);
        }
        return;
    }
    std::set<std::string> present;
    for (std::size_t position = 0; position < count; ++position) {
        if (IsOurDevice(devices[position])) present.insert(KeyOf(devices[position], position));
    }
    for (std::size_t i = 0; i < list.size();) {
        if (present.count(list[i]->key))
            ++i;
        else
            RemoveInterface(static_cast<int>(i));
    }
}

Expected<void, CHVInterfaceManager::NotAdded> CHVInterfaceManager::AddInterface(
    int position, const std::string& key, const std::string& manufacturer,
    const std::string& product, const std::string& path) {
    for (const auto& link : list) {
        if (link->key == key) return NotAdded{NotAdded::Reason::kListed, {}};
    }
    // The only model: index 0.
    if (product.find(kModelName) == std::string::npos)
        return NotAdded{NotAdded::Reason::kOtherModel, {}};
    auto link = std::make_unique<CHVInterface>(hid_);
    link->key = key;
    link->manufacturer = manufacturer;
    link->product = product;
    link->devicePath = path;
    link->observer = observer;
    link->userInterfaceWake = news_;
    const Expected<void> started = link->Start(position, ignoreSerialNumbers_);
    if (!started) return NotAdded{NotAdded::Reason::kCannotOpen, started.error()};
    openFailures_.erase(key);
    LoadSettings(*link);
    if (ignoreSerialNumbers_) provisioning.AdoptKeptPorts(*link, list);
    provisioning.CreatePorts(*link);
    list.push_back(std::move(link));
    listChanged_ = 1;
    return {};
}

// A device that cannot be opened (most often: no permission on its hidraw node) is tried again
// at every scan. Its reason goes to standard error, which the journal keeps for the user
// service, once, and again only when it changes.
void SetOpenFailureWording(OpenFailureWording wording) { Wording() = std::move(wording); }

void CHVInterfaceManager::ReportOpenFailure(const std::string& key, const std::string& reason) {
    std::string& last = openFailures_[key];
    if (last == reason) return;
    last = reason;
    const OpenFailureWording& wording = Wording();
    const std::string line =
        wording ? wording(key, reason) : "Interface " + key + " cannot be opened: " + reason;
    std::fprintf(stderr, "%s\n", line.c_str());
}

bool CHVInterfaceManager::RemoveInterface(int index) {
    if (index < 0 || index >= Count()) return false;
    CHVInterface& link = *list[index];
    provisioning.ReleasePortsOfRemovedLink(link);
    SaveSettings(link);
    link.Close();
    list.erase(list.begin() + index);
    listChanged_ = 1;
    return true;
}

// Ports kept for interfaces that are away go last, as bound ports do.
void CHVInterfaceManager::RemoveAll() {
    const SettingsSave save;  // the sections of every link in one write of the file
    while (!list.empty()) RemoveInterface(0);
    provisioning.ReleaseKeptPorts();
}

CHVInterfaceManager::Clock::time_point CHVInterfaceManager::Tick(Clock::time_point now) {
    news_->Clear();  // before the flags are read: a flag raised from here on signals again
    if (startupScanDue_ && now >= *startupScanDue_) {
        startupScanDue_.reset();
        Refresh(true);
    }
    KeepKeyingGuarded(now);
    if (provisioning.CreatePortsWhenKeyingServiceAnswers(list)) listChanged_ = 1;
    if (provisioning.ServeKeptPorts(list) && observer) observer->OnWaitingPortsChanged();
    TurnFlagsIntoCalls();
    if (now >= nextSave_) {
        nextSave_ = now + kSaveInterval;
        for (const auto& link : list) SaveSettings(*link);
    }
    return NextDue(now);
}

void CHVInterfaceManager::TurnFlagsIntoCalls() {
    if (listChanged_) {
        listChanged_ = 0;
        if (observer) observer->OnInterfacesChanged();
    }
    for (int i = 0; i < Count(); ++i) {
        CHVInterface& link = *list[i];
        bool changed = provisioning.KeepServed(link);
        {
            MutexLock lock(link.portGuard);
            for (Channel channel : kAllChannels) {
                const ChannelPortSlot& slot = link.ports[channel];
                if (slot.sink && slot.sink->portChanged.exchange(0)) changed = true;
            }
        }
        if (link.identityChanged.exchange(0)) {
            changed = true;
            if (observer) observer->OnInterfacesChanged();
        }
        if (changed && observer) observer->OnInterfaceChanged(i);
    }
}

CHVInterfaceManager::Clock::time_point CHVInterfaceManager::NextDue(Clock::time_point now) const {
    Clock::time_point due = nextSave_;
    // A port that lost its service asks for it again as its back-off allows.
    if (provisioning.AnyPortUnserved(list)) due = std::min(due, now + kUnservedPortInterval);
    if (startupScanDue_) due = std::min(due, *startupScanDue_);
    if (guardianLost_) due = std::min(due, guardianRenewDue_);
    if (portClass_.Keying().state == KeyingPorts::State::kWaiting)
        due = std::min(due, portClass_.KeyingServiceDue());
    return due;
}

int CHVInterfaceManager::OnPortOperation(int state, int portNumber) {
    return observer ? observer->OnPortOperation(state, portNumber) : 0;
}

CHVInterface* CHVInterfaceManager::Link(int index) const {
    return index >= 0 && index < Count() ? list[index].get() : nullptr;
}

}  // namespace qx
