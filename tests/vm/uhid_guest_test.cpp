// On a kernel with uhid (the virtual machine of tests/vm/run.sh): qx_uhid devices are found,
// opened and spoken to through the real hidraw backend and the real link worker, and their
// unplug reaches the kernel's uevent stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/CHVInterface.h"
#include "tests/support/opened_device.h"
#include "tests/vm/uhid_process.h"

namespace qx::vm {
namespace {

std::string ReplyText(const uint8_t* report, int size) {
    std::string text;
    for (int i = 2; i < size && report[i] != 0; ++i) text += static_cast<char>(report[i]);
    return text;
}

class UhidGuestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access("/dev/uhid", R_OK | W_OK), 0)
            << "needs /dev/uhid: run it through tests/vm/run.sh";
        dir_ = std::filesystem::temp_directory_path() / ("qx-uhid-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        if (HasFailure()) PrintDeviceLogs();
        std::filesystem::remove_all(dir_);
    }
    // What the devices saw, with their time stamps, is what explains a failure here.
    void PrintDeviceLogs() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            std::printf("--- %s\n", entry.path().filename().c_str());
            std::ifstream log(entry.path());
            for (std::string line; std::getline(log, line);) std::printf("%s\n", line.c_str());
        }
    }

    std::filesystem::path dir_;
    std::unique_ptr<HidBackend> backend_ = MakeHidrawBackend();
};

TEST_F(UhidGuestTest, DeviceIsFoundOpenedBySerialAnsweredAndUnplugged) {
    KernelUevents uevents;
    ASSERT_TRUE(uevents.Valid());
    UhidProcess first("QX4SIM0001", dir_ / "first.log");
    UhidProcess second("QX4SIM0002", dir_ / "second.log");
    ASSERT_TRUE(first.Started() && second.Started());
    ASSERT_TRUE(test::PollUntil(
        [&] {
            return FindBySerial(*backend_, "QX4SIM0001").size() == 1 &&
                   FindBySerial(*backend_, "QX4SIM0002").size() == 1;
        },
        kWaitBound, kWaitStep))
        << "hid devices enumerated: " << backend_->Enumerate(0, 0).size();
    HidDeviceInfo info = FindBySerial(*backend_, "QX4SIM0001").front();
    EXPECT_EQ(info.vendorId, kVendorId);
    EXPECT_EQ(info.productId, kProductId);
    EXPECT_EQ(info.product, "Halvorn QX-4");
    EXPECT_EQ(info.path.rfind("/dev/hidraw", 0), 0u) << info.path;
    EXPECT_TRUE(test::PollUntil([&] { return uevents.Saw("add", "hidraw", "0483:A1DE"); },
                                kWaitBound, kWaitStep));

    // Opening by serial must pick the second device, not merely the first with these ids.
    const std::string serial = "QX4SIM0002";
    auto device = test::Opened(backend_->Open(kVendorId, kProductId, &serial));
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetNonblocking(true), 0);
    uint8_t command[64] = {1, 'V', 'E', 'R'};
    ASSERT_EQ(device->Write(command, sizeof command), 64);

    uint8_t reply[64] = {};
    int got = 0;
    ASSERT_TRUE(test::PollUntil([&] { return (got = device->Read(reply, sizeof reply)) != 0; },
                                kWaitBound, kWaitStep));
    ASSERT_EQ(got, 64);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(ReplyText(reply, got), "HAM RADIO INTERFACE;QX-4;1.0.5");
    EXPECT_EQ(second.Commands(), std::vector<std::string>{"VER"});
    EXPECT_TRUE(first.Commands().empty());

    // The unplug: the open handle fails and the kernel announces the hidraw node's removal.
    EXPECT_EQ(second.Destroy(), 0);
    EXPECT_TRUE(test::PollUntil([&] { return device->Read(reply, sizeof reply) < 0; }, kWaitBound,
                                kWaitStep));
    EXPECT_TRUE(test::PollUntil([&] { return uevents.Saw("remove", "hidraw", "0483:A1DE"); },
                                kWaitBound, kWaitStep));
    EXPECT_TRUE(FindBySerial(*backend_, "QX4SIM0002").empty());
    EXPECT_EQ(FindBySerial(*backend_, "QX4SIM0001").size(), 1u);
    std::vector<UhidLogLine> log = second.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().text, "CREATE QX4SIM0002");
    EXPECT_EQ(log.back().text, "DESTROY");
    EXPECT_EQ(first.Destroy(), 0);
}

// The link's own worker, on its 1 ms timer, sends its start-up sequence through the kernel and keys
// PTT.
TEST_F(UhidGuestTest, LinkWorkerRunsTheStartupSequenceAndKeysPtt) {
    UhidProcess uhid("QX4SIM0001", dir_ / "device.log");
    ASSERT_TRUE(uhid.Started());
    ASSERT_TRUE(test::PollUntil([&] { return FindBySerial(*backend_, "QX4SIM0001").size() == 1; },
                                kWaitBound, kWaitStep));

    CHVInterface link(*backend_);
    link.key = "QX4SIM0001";
    ASSERT_TRUE(link.Start(1, false));
    // What the device receives is asserted. What the link learns from the replies is not: a
    // starved emulator can delay a reply past the link's 20-tick wait, which a real device
    // never does.
    const std::vector<std::string> startup = {
        "LIST",         "LIST CAT;SPEED",  "GET CAT;DESC", "GET PTTCW;DESC",
        "GET FSK;DESC", "GET WINKEY;DESC", "VER"};
    ASSERT_TRUE(test::PollUntil([&] { return uhid.Commands().size() >= startup.size(); },
                                kWaitBound, kWaitStep));
    std::vector<std::string> commands = uhid.Commands();
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + startup.size()),
              startup);

    // The key-down report's delay from the request to the device, across the kernel.
    const long long requested = MonotonicMicroseconds();
    link.StartPttTest();
    const UhidLogLine* keyed = nullptr;
    std::vector<UhidLogLine> log;
    ASSERT_TRUE(test::PollUntil(
        [&] {
            log = uhid.Log();
            auto found = std::find_if(log.begin(), log.end(), [](const UhidLogLine& l) {
                return l.text == "REPORT 3: 01";
            });
            keyed = found == log.end() ? nullptr : &*found;
            return keyed != nullptr;
        },
        kWaitBound, kWaitStep));
    const double latencyMs = (keyed->micros - requested) / 1000.0;
    std::printf("PTT key-down reached the device %.2f ms after the request\n", latencyMs);
    RecordProperty("ptt_latency_us", static_cast<int>(keyed->micros - requested));
    EXPECT_LT(latencyMs, 100.0);
    EXPECT_TRUE(test::PollUntil([&] { return uhid.Logged("REPORT 3: 00"); }, kWaitBound, kWaitStep))
        << "the 1000-tick test ends with key-up";
    std::printf("the link learned version \"%s\", channel list %s\n", link.VersionText().c_str(),
                link.channelListReceived.load() ? "yes" : "no");

    EXPECT_TRUE(link.Close());
    EXPECT_EQ(uhid.Destroy(), 0);
}

}  // namespace
}  // namespace qx::vm
