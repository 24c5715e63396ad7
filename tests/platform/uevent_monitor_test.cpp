#include "platform/uevent_monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_home.h"

namespace qx {
namespace {

const std::string kOurPath =
    "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:0483:A1DE.0007/hidraw/hidraw3";
const std::string kMousePath =
    "/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/0003:046D:C077.0008/hidraw/hidraw4";

// A message as the kernel sends it: "action@devpath", then NUL-terminated KEY=value fields.
std::string KernelMessage(const std::string& action, const std::string& devicePath,
                          const std::string& subsystem) {
    std::string message = action + "@" + devicePath + '\0';
    for (const std::string& field :
         {"ACTION=" + action, "DEVPATH=" + devicePath, "SUBSYSTEM=" + subsystem,
          std::string("MAJOR=241"), std::string("MINOR=3"), std::string("DEVNAME=hidraw3"),
          std::string("SEQNUM=4711")})
        message += field + '\0';
    return message;
}

std::optional<DeviceNotice> Parse(const std::string& message) {
    return ParseUevent(message.data(), message.size());
}

TEST(ParseUevent, HidrawArrivalAndRemovalOfAnyDevice) {
    for (const std::string& path : {kOurPath, kMousePath}) {
        auto arrival = Parse(KernelMessage("add", path, "hidraw"));
        ASSERT_TRUE(arrival);
        EXPECT_EQ(arrival->kind, DeviceNotice::kArrival);
        EXPECT_EQ(arrival->devicePath, path);
        auto removal = Parse(KernelMessage("remove", path, "hidraw"));
        ASSERT_TRUE(removal);
        EXPECT_EQ(removal->kind, DeviceNotice::kRemoval);
        EXPECT_EQ(removal->devicePath, path);
    }
}

TEST(ParseUevent, OtherSubsystemsAndActionsGiveNothing) {
    EXPECT_FALSE(Parse(KernelMessage("add", "/devices/.../0003:0483:A1DE.0007", "hid")));
    EXPECT_FALSE(Parse(KernelMessage("add", "/devices/.../1-2", "usb")));
    EXPECT_FALSE(Parse(KernelMessage("change", kOurPath, "hidraw")));
    EXPECT_FALSE(Parse(KernelMessage("bind", kOurPath, "hidraw")));
    EXPECT_FALSE(Parse(KernelMessage("add", kOurPath, "hidrawx")));
    EXPECT_FALSE(Parse(KernelMessage("add", "", "hidraw")));
}

TEST(ParseUevent, UdevMessagesAndMalformedBuffersNeverCrash) {
    EXPECT_FALSE(ParseUevent(nullptr, 0));
    EXPECT_FALSE(ParseUevent("", 0));
    const std::string udev =
        std::string("libudev\0\xfe\xed\xca\xfe", 12) + KernelMessage("add", kOurPath, "hidraw");
    EXPECT_FALSE(Parse(udev));
    // No NULs at all, and a header-less field list.
    EXPECT_FALSE(Parse("add@/devices/x ACTION=add SUBSYSTEM=hidraw DEVPATH=/x"));
    EXPECT_FALSE(Parse(std::string("ACTION=add\0DEVPATH=/x\0SUBSYSTEM=hidraw\0", 39)));
    // Fields cut short, empty keys, only NULs.
    EXPECT_FALSE(Parse(std::string("add@/x\0ACTION\0DEVPATH=\0SUBSYSTEM", 33)));
    EXPECT_FALSE(Parse(std::string(4096, '\0')));
    // A huge message without NULs after a valid header.
    EXPECT_FALSE(Parse("add@/x" + std::string(1 << 20, 'A')));
}

TEST(ParseUevent, LastFieldWithoutTerminatorStillCounts) {
    std::string message = KernelMessage("remove", kOurPath, "hidraw");
    message += "SUBSYSTEM=hidraw";  // repeated, unterminated
    auto notice = Parse(message);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->kind, DeviceNotice::kRemoval);
}

TEST(NoticeNamesOurDevice, NeedsTheIdsInTheKernelsUpperCaseForm) {
    EXPECT_TRUE(NoticeNamesOurDevice(kOurPath));
    EXPECT_TRUE(NoticeNamesOurDevice(kLostNoticesPath));
    EXPECT_FALSE(NoticeNamesOurDevice(kMousePath));
    EXPECT_FALSE(NoticeNamesOurDevice("/devices/.../0003:0483:a1de.0007/hidraw/hidraw3"));
    EXPECT_FALSE(NoticeNamesOurDevice(""));
}

TEST(UdevNotice, HidrawAddAndRemoveOnly) {
    auto arrival = UdevNotice("add", kOurPath.c_str());
    ASSERT_TRUE(arrival);
    EXPECT_EQ(arrival->kind, DeviceNotice::kArrival);
    EXPECT_EQ(arrival->devicePath, kOurPath);
    auto removal = UdevNotice("remove", kOurPath.c_str());
    ASSERT_TRUE(removal);
    EXPECT_EQ(removal->kind, DeviceNotice::kRemoval);
    EXPECT_FALSE(UdevNotice("change", kOurPath.c_str()));
    EXPECT_FALSE(UdevNotice("bind", kOurPath.c_str()));
    EXPECT_FALSE(UdevNotice(nullptr, kOurPath.c_str()));
    EXPECT_FALSE(UdevNotice("add", nullptr));
    EXPECT_FALSE(UdevNotice("add", ""));
}

// udev is used only where its daemon runs: elsewhere its broadcast never comes.
TEST(NoticeOrigin, UdevOnlyWhereItsDaemonRuns) {
    const test::TempHome home;
    const std::string control = home.Root() + "/control";
    EXPECT_EQ(ChooseNoticeOrigin(control), NoticeOrigin::kKernel);
    ::close(::open(control.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    EXPECT_EQ(ChooseNoticeOrigin(control), NoticeOrigin::kUdev);
}

TEST(UeventMonitor, EachSourceOpensANonBlockingCloseOnExecSocket) {
    std::vector<std::unique_ptr<DeviceNoticeSource>> monitors;
    monitors.push_back(MakeKernelUeventMonitor());
    if (Expected<std::unique_ptr<DeviceNoticeSource>> udev = MakeUdevMonitor())
        monitors.push_back(std::move(*udev));
    for (const auto& monitor : monitors) {
        if (!monitor) continue;  // no netlink here
        EXPECT_TRUE(::fcntl(monitor->Fd(), F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(::fcntl(monitor->Fd(), F_GETFD) & FD_CLOEXEC);
        monitor->ReadNotices();  // returns at once whatever is queued
    }
}

TEST(UeventMonitor, OpensANonBlockingCloseOnExecSocket) {
    auto monitor = MakeUeventMonitor();
    if (!monitor) GTEST_SKIP() << "no kernel uevent socket here";
    const int flags = ::fcntl(monitor->Fd(), F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(monitor->Fd(), F_GETFD) & FD_CLOEXEC);
    monitor->ReadNotices();  // returns at once whatever is queued
}

}  // namespace
}  // namespace qx
