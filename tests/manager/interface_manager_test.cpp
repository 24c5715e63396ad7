// The interface manager on simulated devices and real pseudo-terminal ports: devices found,
// followed through plug and unplug, given their ports and their settings sections.
#include "manager/CHVInterfaceManager.h"

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/ports_directory.h"
#include "platform/private_profile.h"
#include "platform/uevent_monitor.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/observer_log.h"
#include "tests/support/poll_until.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_home.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using test::ObserverLog;
using test::RadioProgram;
using Ops = std::vector<std::pair<int, int>>;
using namespace std::chrono_literals;

// Simulated devices whose notice source can lose the real notices, as the kernel does when they
// are not read in time, and carry notices of other devices.
class ScriptedNoticeBackend final : public SimHidBackend {
public:
    std::unique_ptr<DeviceNoticeSource> OpenNoticeSource() override {
        return std::make_unique<Source>(*this, SimHidBackend::OpenNoticeSource());
    }
    Expected<std::unique_ptr<HidDevice>> Open(uint16_t vendorId, uint16_t productId,
                                              const std::string* serialNumber) override {
        if (!refuseOpens.empty()) return Error::FromErrno(EACCES, refuseOpens);
        return SimHidBackend::Open(vendorId, productId, serialNumber);
    }
    std::string refuseOpens;          // when set, opens fail: what was attempted
    bool loseNotices = false;         // the real notices are dropped, the loss reported
    bool swallowNotices = false;      // the real notices are dropped unseen
    std::vector<DeviceNotice> extra;  // handed out with the next read

private:
    class Source final : public DeviceNoticeSource {
    public:
        Source(ScriptedNoticeBackend& backend, std::unique_ptr<DeviceNoticeSource> real)
            : backend_(backend), real_(std::move(real)) {}
        int Fd() const override { return real_->Fd(); }
        std::vector<DeviceNotice> ReadNotices() override {
            std::vector<DeviceNotice> notices = real_->ReadNotices();
            if (backend_.swallowNotices) notices.clear();
            if (backend_.loseNotices && !notices.empty()) {
                notices = {{DeviceNotice::kArrival, kLostNoticesPath},
                           {DeviceNotice::kRemoval, kLostNoticesPath}};
            }
            notices.insert(notices.end(), backend_.extra.begin(), backend_.extra.end());
            backend_.extra.clear();
            return notices;
        }

    private:
        ScriptedNoticeBackend& backend_;
        std::unique_ptr<DeviceNoticeSource> real_;
    };
};

class InterfaceManagerTest : public ::testing::Test {
protected:
    InterfaceManagerTest() {
        LocateIniFile();
        portsDir_ = home_.Root() + "/ports";
        ::mkdir(portsDir_.c_str(), 0700);
        auto made = MakePtyPortClass(portsDir_);
        EXPECT_TRUE(made) << made.error().message;
        if (made) portClass_ = std::move(*made);
        settings_.Load();
    }

    CHVInterfaceManager& Manager() {
        if (!manager_) {
            manager_ = std::make_unique<CHVInterfaceManager>(backend_, *portClass_, settings_);
            manager_->observer = &observer_;
            manager_->RegisterNotifications();
        }
        return *manager_;
    }
    void Store(const std::string& serial, const std::string& key, int value) {
        WritePrivateProfileString("Interface-" + serial, key, std::to_string(value), ProfileFile());
    }
    int Stored(const std::string& serial, const std::string& key) {
        return GetPrivateProfileInt("Interface-" + serial, key, -1, ProfileFile());
    }
    bool PortExists(int number) const {
        struct stat st {};
        return ::lstat(PortPath(portsDir_, number).c_str(), &st) == 0;
    }
    std::vector<std::string> Keys() {
        std::vector<std::string> keys;
        for (auto& link : Manager().list) keys.push_back(link->key);
        return keys;
    }

    test::TempHome home_;
    std::string portsDir_;
    std::unique_ptr<IVSPortAxClass> portClass_;
    ProgramSettings settings_;
    ScriptedNoticeBackend backend_;
    ObserverLog observer_;
    std::unique_ptr<CHVInterfaceManager> manager_;
};

TEST_F(InterfaceManagerTest, ArrivalStartsLinkReadsSectionAndCreatesPortsAProgramCanOpen) {
    Store("QX4SIM0001", "PortCat", 7);
    Store("QX4SIM0001", "PortFsk", 9);
    Store("QX4SIM0001", "FskInverted", 1);
    Manager();
    backend_.AddDevice({}, false);
    backend_.Plug(1);
    Manager().HandleDeviceNotices();

    ASSERT_EQ(Manager().Count(), 1);
    CHVInterface& link = *Manager().Link(0);
    EXPECT_EQ(link.key, "QX4SIM0001");
    EXPECT_EQ(link.manufacturer, "Halvorn");
    EXPECT_EQ(link.fskInverted.load(), 1);
    EXPECT_EQ(observer_.portOperations, (Ops{{1, 7}, {0, 7}, {1, 9}, {0, 9}}));
    EXPECT_TRUE(PortExists(7));
    EXPECT_TRUE(PortExists(9));
    EXPECT_EQ(link.ports[kFsk].instance->GetDataBits(), 5) << "an FSK port assumes 5 data bits";

    RadioProgram program(portsDir_ + "/COM7");
    EXPECT_TRUE(program.Valid());

    // The worker's own identity change (the version learned) is a second change; let it pass
    // first so that only the list change is counted, however slow the machine.
    ASSERT_TRUE(
        test::PollUntil([&] { return !link.VersionText().empty(); }, std::chrono::seconds(10)));
    link.identityChanged.store(0);
    Manager().Tick();
    EXPECT_EQ(observer_.interfacesChanged, 1)
        << "the list change reaches the observer on the next tick";
}

// A node the user may not open (uaccess not yet applied, say) is retried at every scan; the user
// learns why once per reason, not once per scan.
TEST_F(InterfaceManagerTest, AnUnopenableDeviceSaysWhyOncePerReason) {
    backend_.AddDevice();
    const auto scan = [&](const std::string& refusal) {
        backend_.refuseOpens = refusal;
        testing::internal::CaptureStderr();
        Manager().Refresh(true);
        return testing::internal::GetCapturedStderr();
    };
    const std::string said = scan("opening /dev/hidraw0");
    EXPECT_EQ(said,
              "Interface QX4SIM0001 cannot be opened: opening /dev/hidraw0: Permission denied\n");
    EXPECT_EQ(scan("opening /dev/hidraw0"), "") << "the same reason is not said again";
    // The application words it in the user's language.
    SetOpenFailureWording(
        [](const std::string& key, const std::string& reason) { return key + " / " + reason; });
    EXPECT_EQ(scan("opening /dev/hidraw1"),
              "QX4SIM0001 / opening /dev/hidraw1: Permission denied\n")
        << "a new reason is said";
    SetOpenFailureWording(nullptr);
    EXPECT_EQ(Manager().Count(), 0);
    EXPECT_EQ(scan(""), "");
    EXPECT_EQ(Manager().Count(), 1) << "opened once the node is open to the user";
}

TEST_F(InterfaceManagerTest, UnplugReleasesOrDeletesPortsBySettingAndSavesTheSection) {
    Store("QX4SIM0001", "PortCat", 7);
    Store("QX4SIM0002", "PortCat", 8);
    backend_.AddDevice();
    backend_.AddDevice();
    Manager().Refresh(true);
    ASSERT_EQ(Manager().Count(), 2);

    observer_.portOperations.clear();
    backend_.Unplug(1);
    Manager().HandleDeviceNotices();
    EXPECT_EQ(Keys(), std::vector<std::string>{"QX4SIM0002"}) << "the other device stays";
    EXPECT_EQ(observer_.portOperations, (Ops{{2, 7}, {0, 7}}));
    EXPECT_FALSE(PortExists(7)) << "deleted with RemovePortsOnDeviceRemoval on";
    EXPECT_EQ(Stored("QX4SIM0001", "PortCat"), 7);
    EXPECT_EQ(Stored("QX4SIM0001", "FirmwareVersion"), 0);
    EXPECT_EQ(GetPrivateProfileString("Interface-QX4SIM0001", "ModelName", "", ProfileFile()),
              "QX-4");

    settings_.removePortsOnDeviceRemoval.value = 0;
    backend_.Unplug(2);
    Manager().HandleDeviceNotices();
    EXPECT_EQ(Manager().Count(), 0);
    EXPECT_TRUE(PortExists(8)) << "kept on the machine";
    EXPECT_TRUE(RadioProgram(portsDir_ + "/COM8").Valid()) << "and programs can still open it";

    backend_.Plug(2);
    Manager().HandleDeviceNotices();
    ASSERT_EQ(Manager().Count(), 1);
    EXPECT_TRUE(Manager().Link(0)->ports[kCat].instance) << "the kept port is taken up again";
    EXPECT_TRUE(RadioProgram(portsDir_ + "/COM8").Valid());
}

// With RemovePortsOnDeviceRemoval off a program keeps its CAT port across an unplug: while the
// interface is away the port is a serial port whose cable is out, and once it returns the
// program goes on with the same descriptor. What programs write meanwhile is taken as they write
// it, without the manager's passes, and counted: a burst larger than a pass takes, and a write
// whose program closes the port at once.
TEST_F(InterfaceManagerTest, AKeptPortIsAnUnpluggedCableUntilItsInterfaceReturns) {
    settings_.removePortsOnDeviceRemoval.value = 0;
    Store("QX4SIM0001", "PortCat", 7);
    Store("QX4SIM0001", "PortFsk", 9);
    backend_.AddDevice();
    Manager().Refresh(true);
    ASSERT_EQ(Manager().Count(), 1);
    RadioProgram cat(portsDir_ + "/COM7");
    ASSERT_TRUE(cat.Valid());
    backend_.Unplug(1);
    Manager().HandleDeviceNotices();
    ASSERT_EQ(Manager().Count(), 0);

    EXPECT_EQ(cat.Write({'F', 'A', ';'}, 1000ms), 3u) << "a write is taken";
    const std::vector<uint8_t> burst(200000, 'x');
    EXPECT_EQ(cat.Write(burst, 5000ms), burst.size()) << "a burst is taken with no pass";
    {
        RadioProgram fsk(portsDir_ + "/COM9");
        ASSERT_TRUE(fsk.Valid());
        EXPECT_EQ(fsk.Write({'x', 'y'}, 1000ms), 2u);
    }
    EXPECT_TRUE(test::PollUntil(
        [&] {
            Manager().Tick();
            const auto& kept = Manager().provisioning.KeptPorts();
            return kept.at(0).droppedBytes == 3 + burst.size() && kept.at(1).droppedBytes == 2;
        },
        5s))
        << "and counted as dropped";
    EXPECT_TRUE(cat.Read(1, 200ms).empty()) << "a read waits";
    EXPECT_TRUE(cat.Configure(4800, 8, test::ProgramParity::kNone, 1)) << "settings are taken";
    EXPECT_TRUE(RadioProgram(portsDir_ + "/COM7").Valid()) << "the name still opens";

    backend_.Plug(1);
    Manager().HandleDeviceNotices();
    ASSERT_EQ(Manager().Count(), 1);
    const auto device = backend_.Device(1);
    const auto commands = [&] {
        const std::vector<std::string> sent = device->Commands();
        return std::find(sent.begin(), sent.end(), "SET CAT;SPEED=4800") != sent.end();
    };
    EXPECT_TRUE(test::PollUntil(commands, 5s)) << "the program's settings reach the device";
    ASSERT_EQ(cat.Write({'F', 'A', ';'}), 3u);
    const std::vector<uint8_t> answer = cat.Read(14, 5s);
    EXPECT_EQ(std::string(answer.begin(), answer.end()).substr(0, 2), "FA") << "answered";
    EXPECT_EQ(device->ChannelData(kCat), "FA;") << "what was written meanwhile is not sent late";
    EXPECT_EQ(Manager().Link(0)->droppedBytes[kCat].load(), 3 + burst.size());
    EXPECT_EQ(Manager().Link(0)->droppedBytes[kFsk].load(), 2u);
}

// A device that stops taking reports (a stalled endpoint, a hung firmware) must not freeze the
// window: the user's port changes go through at once, and exit waits for no more than the one
// write under way, which the device (the kernel's USB timeout) ends.
TEST_F(InterfaceManagerTest, AStalledDeviceHoldsUpNoPortOperationAndExitWaitsForOneWriteAtMost) {
    using std::chrono::seconds;
    using Clock = std::chrono::steady_clock;
    constexpr seconds kFirstStall{4};  // the write under way when the user acts
    Store("QX4SIM0001", "PortCat", 7);
    backend_.AddDevice();
    const std::shared_ptr<SimDevice> device = backend_.Device(1);
    device->StallWrites(kFirstStall);
    Manager().Refresh(true);
    ASSERT_EQ(Manager().Count(), 1);
    ASSERT_TRUE(device->WaitForStalledWrite(seconds(10)));
    // Every later write stalls for a minute, so a wait for one stands out from any load.
    device->StallWrites(seconds(60));

    // Waiting for the write under way would take the rest of its stall.
    auto started = Clock::now();
    Manager().provisioning.UpdatePorts(*Manager().Link(0), {8, 0, 0, 0});
    EXPECT_LT(Clock::now() - started, kFirstStall / 2) << "releasing COM7 and creating COM8";
    EXPECT_FALSE(PortExists(7));
    EXPECT_TRUE(PortExists(8));

    // Exit ends when the first write does; a second write would hold it for the minute, which
    // the test cuts short so that it fails rather than waits.
    auto closing = std::async(std::launch::async, [this] { Manager().RemoveAll(); });
    if (closing.wait_for(kFirstStall + seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "exit waited for more than the write under way";
        device->ResumeWrites();
    }
    closing.get();
    EXPECT_FALSE(PortExists(8));
    EXPECT_EQ(Stored("QX4SIM0001", "PortCat"), 8);
}

TEST_F(InterfaceManagerTest, WhichDevicesBecomeLinksAndUnderWhichKey) {
    SimDeviceConfig same;
    same.serialNumber = "SAME";
    backend_.AddDevice(same);
    backend_.AddDevice(same);
    SimDeviceConfig otherModel;
    otherModel.product = "QX-8";
    otherModel.serialNumber = "OTHER";
    backend_.AddDevice(otherModel);
    SimDeviceConfig noSerial;
    noSerial.serialNumber = "";
    backend_.AddDevice(noSerial);
    Manager().Refresh(true);
    EXPECT_EQ(Keys(), (std::vector<std::string>{"SAME", ""}));

    backend_.Unplug(4);
    Manager().Refresh(false);
    EXPECT_EQ(Keys(), std::vector<std::string>{"SAME"})
        << "a device without serial number goes too";
}

TEST_F(InterfaceManagerTest, IgnoringSerialNumbersKeysByEnumerationPosition) {
    settings_.ignoreSerialNumbers.value = 1;
    backend_.AddDevice();
    backend_.AddDevice();
    Manager().Refresh(true);
    ASSERT_EQ(Keys(), (std::vector<std::string>{"1", "2"}));
    // Each link opened the device at its own position.
    for (int i = 0; i < 2; ++i) {
        CHVInterface& link = *Manager().Link(i);
        ASSERT_TRUE(
            test::PollUntil([&] { return !link.VersionText().empty(); }, std::chrono::seconds(10)))
            << "link " << i << " got no answer from its device";
    }
    EXPECT_FALSE(backend_.Device(1)->Commands().empty());
    EXPECT_FALSE(backend_.Device(2)->Commands().empty());
    const std::uint64_t writes = ProfileFileWrites();
    Manager().RemoveAll();
    EXPECT_EQ(ProfileFileWrites() - writes, 1u) << "both new sections in one write of the file";
    EXPECT_EQ(Stored("1", "PortCat"), 0);
    EXPECT_EQ(Stored("2", "PortCat"), 0);
}

// Ticking the box while an interface runs must neither link the device a second time at the
// next scan nor drop the running link (and delete its ports) at the next removal check.
TEST_F(InterfaceManagerTest, IgnoringSerialNumbersTakesEffectAtTheNextStart) {
    backend_.AddDevice();
    Store(SimSerialNumber(1), "PortCat", 7);
    Manager().Refresh(true);
    ASSERT_EQ(Keys(), std::vector<std::string>{SimSerialNumber(1)});
    ASSERT_TRUE(PortExists(7));
    CHVInterface* running = Manager().Link(0);
    observer_.portOperations.clear();

    settings_.ignoreSerialNumbers.value = 1;  // the click
    Manager().Refresh(true);                  // any HID arrival
    Manager().Refresh(false);                 // any removal
    EXPECT_EQ(Keys(), std::vector<std::string>{SimSerialNumber(1)});
    EXPECT_EQ(Manager().Link(0), running);
    EXPECT_TRUE(observer_.portOperations.empty()) << "no port was made or let go";
    EXPECT_TRUE(PortExists(7));

    manager_.reset();  // the next start keys by position
    Manager().Refresh(true);
    EXPECT_EQ(Keys(), std::vector<std::string>{"1"});
}

// The first scan comes seconds after start; a click before it must wait for the next start too.
TEST_F(InterfaceManagerTest, IgnoringSerialNumbersIsReadAtStartNotAtTheFirstScan) {
    backend_.AddDevice();
    Manager();
    settings_.ignoreSerialNumbers.value = 1;  // the click, before any device was scanned
    Manager().Refresh(true);
    EXPECT_EQ(Keys(), std::vector<std::string>{SimSerialNumber(1)});
}

TEST_F(InterfaceManagerTest, ANumberTakenOnTheMachineIsReused) {
    ASSERT_EQ(::symlink("/dev/pts/let-go", (portsDir_ + "/COM12").c_str()), 0);
    Store("QX4SIM0001", "PortWinkey", 12);
    backend_.AddDevice();
    Manager().Refresh(true);
    ASSERT_EQ(Manager().Count(), 1);
    EXPECT_TRUE(Manager().Link(0)->ports[kWinKey].instance);
    EXPECT_TRUE(RadioProgram(portsDir_ + "/COM12").Valid());

    Manager().provisioning.RemoveAllSystemPorts();
    EXPECT_TRUE(fs::is_empty(portsDir_));
}

// The manager sleeps between what it waits for: the start-up scan and the periodic save at the
// times Tick gives, the flags of the links and ports when they signal news.
TEST_F(InterfaceManagerTest, TickRunsTimedWorkWhenDueAndTurnsNewsIntoCalls) {
    using Clock = CHVInterfaceManager::Clock;
    Store("QX4SIM0001", "PortCat", 7);
    backend_.AddDevice();
    const Clock::time_point made = Clock::now();
    const Clock::time_point scanDue = Manager().Tick(made);
    EXPECT_GE(scanDue, made + CHVInterfaceManager::kStartupScanDelay);
    EXPECT_LE(scanDue, Clock::now() + CHVInterfaceManager::kStartupScanDelay);
    EXPECT_EQ(Manager().Tick(scanDue - std::chrono::milliseconds(1)), scanDue);
    EXPECT_EQ(Manager().Count(), 0);

    const Clock::time_point saveDue = Manager().Tick(scanDue);
    ASSERT_EQ(Manager().Count(), 1);
    // The scan's change; a slow machine may bring the worker's first news to the same tick.
    EXPECT_GE(observer_.interfacesChanged, 1);
    EXPECT_EQ(saveDue - scanDue,
              CHVInterfaceManager::kSaveInterval - CHVInterfaceManager::kStartupScanDelay);

    // The worker learns the version, a program opens the port: each wakes the manager.
    const auto news = [&] {
        pollfd watch{Manager().NewsFd(), POLLIN, 0};
        return ::poll(&watch, 1, 10'000) == 1;
    };
    CHVInterface& link = *Manager().Link(0);
    ASSERT_TRUE(
        test::PollUntil([&] { return !link.VersionText().empty(); }, std::chrono::seconds(10)));
    ASSERT_TRUE(news());
    backend_.swallowNotices = true;
    backend_.AddDevice();
    Manager().Tick(scanDue + std::chrono::seconds(1));
    EXPECT_EQ(Manager().Count(), 1) << "only device notices scan after the start-up scan";
    EXPECT_EQ(observer_.interfacesChanged, 2);
    EXPECT_EQ(observer_.interfaceChanged, std::vector<int>{0});
    RadioProgram program(portsDir_ + "/COM7");
    ASSERT_TRUE(program.Valid());
    ASSERT_TRUE(news());
    Manager().Tick(scanDue);
    EXPECT_EQ(observer_.interfaceChanged, (std::vector<int>{0, 0}));
    Manager().Tick(scanDue);
    EXPECT_EQ(observer_.interfaceChanged, (std::vector<int>{0, 0}))
        << "flags are cleared once seen";

    EXPECT_EQ(GetPrivateProfileString("Interface-QX4SIM0001", "ModelName", "", ProfileFile()), "");
    EXPECT_EQ(Manager().Tick(saveDue), saveDue + CHVInterfaceManager::kSaveInterval);
    EXPECT_EQ(GetPrivateProfileString("Interface-QX4SIM0001", "ModelName", "", ProfileFile()),
              "QX-4");
}

// Out and back in before the notices are handled: both arrive in one burst while the device is
// enumerated again under its key. The link must move to the new connection, not keep reading
// the one that is gone, and the other device's link stays as it was.
TEST_F(InterfaceManagerTest, QuickReplugPutsTheLinkOnTheNewConnection) {
    Store("QX4SIM0001", "PortCat", 7);
    backend_.AddDevice();
    backend_.AddDevice();
    Manager().Refresh(true);
    ASSERT_EQ(Manager().Count(), 2);
    const CHVInterface* other = Manager().Link(1);

    observer_.portOperations.clear();
    backend_.Unplug(1);
    backend_.Plug(1);
    Manager().HandleDeviceNotices();
    EXPECT_EQ(Keys(), (std::vector<std::string>{"QX4SIM0002", "QX4SIM0001"}));
    EXPECT_EQ(Manager().Link(0), other);
    EXPECT_EQ(observer_.portOperations, (Ops{{2, 7}, {0, 7}, {1, 7}, {0, 7}}));

    // The link reads the device again (an old connection's handle fails without counting).
    auto device = backend_.Device(1);
    const uint64_t readsBefore = device->ReadCount();
    EXPECT_TRUE(test::PollUntil([&] { return device->ReadCount() != readsBefore; },
                                std::chrono::seconds(5)));
    RadioProgram cat(portsDir_ + "/COM7");
    EXPECT_TRUE(cat.Valid());
}

// Notices lost in a burst: the reported loss makes the manager find out for itself what left
// and what came.
TEST_F(InterfaceManagerTest, LostNoticesAreMadeUpByARemovalCheckAndAScan) {
    backend_.AddDevice();
    backend_.AddDevice({}, false);
    Manager().Refresh(true);
    ASSERT_EQ(Keys(), std::vector<std::string>{"QX4SIM0001"});

    backend_.loseNotices = true;
    backend_.Unplug(1);
    backend_.Plug(2);
    Manager().HandleDeviceNotices();
    EXPECT_EQ(Keys(), std::vector<std::string>{"QX4SIM0002"});
}

// Another device's removal (a keyboard, or ids not in the kernel's upper-case form) is none of
// ours: no removal check runs, so a link whose notice has not come yet is kept for it.
TEST_F(InterfaceManagerTest, ARemovalNoticeOfAnotherDeviceLeavesTheLinks) {
    backend_.AddDevice();
    Manager().Refresh(true);
    ASSERT_EQ(Manager().Count(), 1);
    backend_.swallowNotices = true;
    backend_.Unplug(1);  // its own notice is not handed out
    backend_.extra = {
        {DeviceNotice::kRemoval, "/devices/pci0000:00/0003:046D:C31C.0002/hidraw/hidraw1"},
        {DeviceNotice::kRemoval, "/devices/pci0000:00/0003:0483:a1de.0003/hidraw/hidraw2"}};
    Manager().HandleDeviceNotices();
    EXPECT_EQ(Manager().Count(), 1);
}

int OpenDescriptors() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST_F(InterfaceManagerTest, StressPlugCyclesLeakNothingAndKeepTheFileIntact) {
    Store("QX4SIM0001", "PortCat", 21);
    Store("QX4SIM0002", "PortCat", 22);
    Store("QX4SIM0002", "PortWinkey", 23);
    backend_.AddDevice();
    backend_.AddDevice();
    Manager().Refresh(true);
    Manager().RemoveAll();
    backend_.Unplug(1);
    backend_.Unplug(2);
    Manager().HandleDeviceNotices();
    const std::string fileBefore = test::ReadBytes(ProfileFile());
    const int descriptorsBefore = OpenDescriptors();

    for (int cycle = 0; cycle < 200; ++cycle) {
        backend_.Plug(1);
        backend_.Plug(2);
        Manager().HandleDeviceNotices();
        ASSERT_EQ(Manager().Count(), 2) << "cycle " << cycle;
        RadioProgram cat(portsDir_ + "/COM21");
        RadioProgram winkey(portsDir_ + "/COM23");
        ASSERT_TRUE(cat.Valid() && winkey.Valid());
        cat.Write({'F', 'A', ';'});
        winkey.Write({0x13});
        backend_.Unplug(cycle % 2 + 1);
        Manager().HandleDeviceNotices();
        backend_.Unplug(2 - cycle % 2);
        Manager().HandleDeviceNotices();
        ASSERT_EQ(Manager().Count(), 0);
    }
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
    EXPECT_EQ(test::ReadBytes(ProfileFile()), fileBefore);
}

}  // namespace
}  // namespace qx
