#include <gtest/gtest.h>
#include <poll.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "sim/sim_hid_backend.h"
#include "tests/support/opened_device.h"

namespace qx {
namespace {

std::array<uint8_t, 64> Command(const std::string& text) {
    std::array<uint8_t, 64> report{};
    report[0] = 1;
    std::memcpy(report.data() + 1, text.data(), text.size());
    return report;
}

std::array<uint8_t, 64> Data(int id, const std::string& payload) {
    std::array<uint8_t, 64> report{};
    report[0] = static_cast<uint8_t>(id);
    report[1] = static_cast<uint8_t>(payload.size());
    std::memcpy(report.data() + 2, payload.data(), payload.size());
    return report;
}

// Reads one report; "" when none is waiting.
std::string ReplyText(HidDevice& device) {
    std::array<uint8_t, 64> report{};
    if (device.Read(report.data(), report.size()) <= 0) return "<none>";
    EXPECT_EQ(report[0], 1);
    return std::string(reinterpret_cast<const char*>(report.data() + 2),
                       strnlen(reinterpret_cast<const char*>(report.data() + 2), 62));
}

std::string Ask(HidDevice& device, const std::string& text) {
    auto report = Command(text);
    EXPECT_EQ(device.Write(report.data(), report.size()), 64);
    return ReplyText(device);
}

TEST(SimDevice, AnswersTheCommandProtocol) {
    SimHidBackend backend(1);
    auto device = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
    ASSERT_TRUE(device);
    EXPECT_EQ(Ask(*device, "LIST"), "CAT;PTTCW;FSK;WINKEY");
    EXPECT_EQ(Ask(*device, "LIST CAT;SPEED"), "4800;9600;115200");
    EXPECT_EQ(Ask(*device, "GET CAT;DESC"), "2");
    EXPECT_EQ(Ask(*device, "GET WINKEY;DESC"), "5");
    EXPECT_EQ(Ask(*device, "VER"), "HAM RADIO INTERFACE;QX-4;1.0.5");
    EXPECT_EQ(Ask(*device, "SET CAT;SPEED=4800"), "OK 00");
    EXPECT_EQ(Ask(*device, "SET CAT;MODE=7E2"), "OK 00");
    EXPECT_EQ(Ask(*device, "SET FSK;INVERS=1"), "OK 00");
    EXPECT_EQ(Ask(*device, "BOGUS"), "ERROR");

    auto sim = backend.Device(1);
    EXPECT_EQ(sim->Transceiver().serialSpeed, 4800);
    EXPECT_EQ(sim->Transceiver().serialMode, "7E2");
    EXPECT_EQ(sim->FskInverted(), 1);
    EXPECT_EQ(sim->Commands().size(), 9u);
}

TEST(SimDevice, ConfiguredDelaySplitAndIds) {
    SimHidBackend backend;
    SimDeviceConfig config;
    config.replyDelayTicks = 2;
    config.replyChunkSize = 4;
    config.reportIds[kCat] = 7;
    backend.AddDevice(config);
    auto device = test::Opened(backend.Open(0, 0, nullptr));
    auto report = Command("LIST");
    device->Write(report.data(), report.size());
    // A late reply is not in the device yet: its descriptor tells nobody to read.
    const auto readable = [&] {
        pollfd input{device->PollFd(), POLLIN, 0};
        return ::poll(&input, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    EXPECT_EQ(ReplyText(*device), "<none>");
    EXPECT_FALSE(readable());
    EXPECT_EQ(ReplyText(*device), "<none>");
    EXPECT_TRUE(readable());
    EXPECT_EQ(ReplyText(*device), "CAT;");
    EXPECT_EQ(ReplyText(*device), "PTTC");
    EXPECT_EQ(Ask(*device, "GET CAT;DESC"), "W;FS");  // replies stay in order
}

TEST(SimDevice, TransceiverAnswersCatOnTheCatReportId) {
    SimHidBackend backend(1);
    auto device = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
    auto sendCat = [&](const std::string& text) {
        auto report = Data(2, text);
        device->Write(report.data(), report.size());
    };
    sendCat("FA00007030000;MD3;FA;IF;");
    std::array<uint8_t, 64> report{};
    ASSERT_EQ(device->Read(report.data(), report.size()), 64);
    EXPECT_EQ(report[0], 2);
    const std::string answer(reinterpret_cast<const char*>(report.data() + 2), report[1]);
    EXPECT_EQ(answer.substr(0, 14), "FA00007030000;");
    const std::string info = answer.substr(14);
    EXPECT_EQ(info.size(), 38u);
    EXPECT_EQ(info.substr(0, 13), "IF00007030000");
    EXPECT_EQ(info[29], '3');  // the mode
    sendCat("ID;XX;");
    ASSERT_EQ(device->Read(report.data(), report.size()), 64);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(report.data() + 2), report[1]), "ID019;?;");
    EXPECT_EQ(backend.Device(1)->Transceiver().frequencyA, 7030000u);
}

// A device left running with data flowing keeps only its recent history, and report numbers
// taken before the oldest were let go still find the reports that follow them.
TEST(SimDevice, RecordsStayBoundedOnALongRun) {
    SimDeviceConfig config;
    config.recordLimit = 4;
    config.echoWinKey = false;
    SimHidBackend backend;
    backend.AddDevice(config);
    auto device = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
    auto& sim = *backend.Device(1);
    for (char c = 'a'; c <= 'j'; ++c) {
        auto report = Data(5, std::string(1, c));
        device->Write(report.data(), report.size());
    }
    EXPECT_EQ(sim.ReceivedCount(), 10u);
    EXPECT_EQ(sim.Received().size(), 4u);
    const auto since = sim.ReceivedSince(8);
    ASSERT_EQ(since.size(), 2u);
    EXPECT_EQ(since[0].bytes[2], 'i');
    EXPECT_EQ(sim.ReceivedSince(2).front().bytes[2], 'g')
        << "an index already let go starts at the oldest kept";
    EXPECT_EQ(sim.ChannelData(kWinKey), "fghij")
        << "cut back to the limit once twice the limit is held";

    EXPECT_EQ(sim.TakeChannelData(kWinKey), "fghij");
    EXPECT_EQ(sim.ChannelData(kWinKey), "");
    sim.QueueChannelData(kFsk, std::string(130, 'x'));
    EXPECT_EQ(sim.PendingInputCount(), 3u);
}

// A stalled device: writes block and fail until the stall ends by ResumeWrites, by an unplug
// or by its time limit; then the device takes reports again.
TEST(SimDevice, StalledWritesBlockUntilResumedUnpluggedOrTimedOut) {
    using std::chrono::milliseconds;
    SimHidBackend backend(1);
    auto device = backend.Device(1);
    auto handle = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
    ASSERT_TRUE(handle);
    const auto report = Command("VER");
    device->StallWrites(milliseconds(60000));
    EXPECT_FALSE(device->WaitForStalledWrite(milliseconds(0)));

    int result = 0;
    std::thread writer([&] { result = handle->Write(report.data(), report.size()); });
    ASSERT_TRUE(device->WaitForStalledWrite(milliseconds(5000)));
    device->ResumeWrites();
    writer.join();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(device->Commands().empty()) << "the stalled report never arrived";
    EXPECT_EQ(handle->Write(report.data(), report.size()), 64);

    device->StallWrites(milliseconds(60000));
    writer = std::thread([&] { result = handle->Write(report.data(), report.size()); });
    ASSERT_TRUE(device->WaitForStalledWrite(milliseconds(5000)));
    backend.Unplug(1);
    writer.join();
    EXPECT_EQ(result, -1);

    backend.Plug(1);
    handle = test::Opened(backend.Open(kVendorId, kProductId, nullptr));
    device->StallWrites(milliseconds(10));
    EXPECT_EQ(handle->Write(report.data(), report.size()), -1) << "timed out";
    EXPECT_FALSE(device->WaitForStalledWrite(milliseconds(0)));
}

TEST(SimHidBackend, UnplugFailsHandlesAndNotifies) {
    SimHidBackend backend(2);
    auto notices = backend.OpenNoticeSource();
    ASSERT_TRUE(notices);
    const std::string second = SimSerialNumber(2);
    auto device = test::Opened(backend.Open(kVendorId, kProductId, &second));
    ASSERT_TRUE(device);
    EXPECT_EQ(backend.Enumerate(kVendorId, kProductId).size(), 2u);
    EXPECT_NE(backend.DevicePath(2).find("0483:A1DE"), std::string::npos);

    pollfd fd{notices->Fd(), POLLIN, 0};
    EXPECT_EQ(poll(&fd, 1, 0), 0);
    ASSERT_TRUE(backend.Unplug(2));
    EXPECT_FALSE(backend.Unplug(2));
    EXPECT_EQ(poll(&fd, 1, 0), 1);
    auto read = notices->ReadNotices();
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].kind, DeviceNotice::kRemoval);
    EXPECT_EQ(read[0].devicePath, backend.DevicePath(2));
    EXPECT_EQ(poll(&fd, 1, 0), 0);

    uint8_t buffer[64] = {};
    EXPECT_EQ(device->Read(buffer, 64), -1);
    EXPECT_EQ(device->Write(buffer, 64), -1);
    EXPECT_EQ(backend.Enumerate(0, 0).size(), 1u);
    // Opening an unplugged device fails as with hidraw, naming what was asked for.
    const auto bySerial = backend.Open(kVendorId, kProductId, &second);
    EXPECT_FALSE(bySerial);
    EXPECT_EQ(bySerial.error().code, ENODEV);
    EXPECT_NE(bySerial.error().message.find(second), std::string::npos) << bySerial.error().message;
    const auto byPath = backend.OpenPath(backend.DevicePath(2));
    EXPECT_FALSE(byPath);
    EXPECT_EQ(byPath.error().code, ENOENT);
    EXPECT_NE(byPath.error().message.find(backend.DevicePath(2)), std::string::npos)
        << byPath.error().message;

    ASSERT_TRUE(backend.Plug(2));
    EXPECT_EQ(notices->ReadNotices().at(0).kind, DeviceNotice::kArrival);
    EXPECT_EQ(device->Read(buffer, 64), -1);  // an old handle stays dead, as with hidraw
    EXPECT_TRUE(backend.OpenPath(backend.DevicePath(2)));
}

}  // namespace
}  // namespace qx
