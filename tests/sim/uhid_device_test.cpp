// The uhid transport against a stand-in kernel: a packet socket carries the same events, one
// per read and write, as /dev/uhid does.
#include "sim/uhid_device.h"

#include <gtest/gtest.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace qx {
namespace {

class FakeFirmware : public UhidFirmware {
public:
    void ReceiveOutput(const UhidReport& report) override { outputs.push_back(report); }
    bool NextInput(UhidReport& report) override {
        if (inputs.empty()) return false;
        report = inputs.front();
        inputs.pop_front();
        return true;
    }
    std::vector<UhidReport> outputs;
    std::deque<UhidReport> inputs;
};

UhidReport ReportOf(uint8_t id, const std::string& text) {
    UhidReport report{};
    report[0] = id;
    std::memcpy(report.data() + 1, text.data(), text.size());
    return report;
}

class UhidDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends), 0);
        kernel_.Reset(ends[0]);
        device_.emplace(UniqueFd(ends[1]), firmware_,
                        [this](const std::string& line) { log_.push_back(line); });
    }

    uhid_event NewEvent(uint32_t type) {
        uhid_event event;
        std::memset(&event, 0, sizeof event);
        event.type = type;
        return event;
    }
    void ToDevice(const uhid_event& event) {
        ASSERT_EQ(write(kernel_.Get(), &event, sizeof event), static_cast<ssize_t>(sizeof event));
        ASSERT_TRUE(device_->HandleEvents());
    }
    std::optional<uhid_event> FromDevice() {
        uhid_event event = NewEvent(0);
        if (read(kernel_.Get(), &event, sizeof event) != static_cast<ssize_t>(sizeof event))
            return std::nullopt;
        return event;
    }
    void StartAndOpen() {
        ToDevice(NewEvent(UHID_START));
        ToDevice(NewEvent(UHID_OPEN));
    }

    FakeFirmware firmware_;
    std::vector<std::string> log_;
    UniqueFd kernel_;
    std::optional<UhidDevice> device_;
};

TEST_F(UhidDeviceTest, CreateAnnouncesUsbIdentityAndUnplugsWhenDestroyed) {
    UhidIdentity identity;
    identity.serial = std::string(100, 'S');  // longer than the kernel's field
    ASSERT_TRUE(device_->Create(identity));
    auto created = FromDevice();
    ASSERT_TRUE(created);
    ASSERT_EQ(created->type, UHID_CREATE2);
    const auto& request = created->u.create2;
    EXPECT_EQ(request.bus, BUS_USB);
    EXPECT_EQ(request.vendor, 0x0483u);
    EXPECT_EQ(request.product, 0xA1DEu);
    EXPECT_STREQ(reinterpret_cast<const char*>(request.name), "Halvorn QX-4");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(request.uniq)), std::string(63, 'S'));
    std::vector<uint8_t> descriptor = QxReportDescriptor();
    ASSERT_EQ(request.rd_size, descriptor.size());
    EXPECT_EQ(0, std::memcmp(request.rd_data, descriptor.data(), descriptor.size()));

    device_.reset();
    auto destroyed = FromDevice();
    ASSERT_TRUE(destroyed);
    EXPECT_EQ(destroyed->type, UHID_DESTROY);
    EXPECT_FALSE(FromDevice());  // exactly one unplug
}

TEST_F(UhidDeviceTest, OutputReportsReachTheFirmwareWhole) {
    uhid_event output = NewEvent(UHID_OUTPUT);
    output.u.output.data[0] = 1;
    std::memcpy(output.u.output.data + 1, "VER", 3);
    output.u.output.size = 4;  // short: the rest is padded with zeros
    output.u.output.rtype = UHID_OUTPUT_REPORT;
    ToDevice(output);

    output = NewEvent(UHID_OUTPUT);
    std::memset(output.u.output.data, 0x33, UHID_DATA_MAX);
    output.u.output.data[0] = 3;
    output.u.output.size = 0xFFFF;  // beyond the event's data: cut, never read past it
    ToDevice(output);

    output.u.output.data[0] = 9;  // no such report id: logged, not passed on
    output.u.output.size = 64;
    ToDevice(output);

    ASSERT_EQ(firmware_.outputs.size(), 2u);
    EXPECT_EQ(firmware_.outputs[0], ReportOf(1, "VER"));
    EXPECT_EQ(firmware_.outputs[1][0], 3);
    EXPECT_EQ(firmware_.outputs[1][63], 0x33);
    ASSERT_EQ(log_.size(), 3u);
    EXPECT_EQ(log_[0], "CMD VER");
    EXPECT_EQ(log_[1].rfind("REPORT 3: 33 33", 0), 0u);
    EXPECT_EQ(log_[2].rfind("REPORT 9:", 0), 0u);
}

TEST_F(UhidDeviceTest, EveryReportRequestIsAnswered) {
    uhid_event get = NewEvent(UHID_GET_REPORT);
    get.u.get_report.id = 7;
    get.u.get_report.rnum = 2;
    get.u.get_report.rtype = UHID_INPUT_REPORT;
    ToDevice(get);
    auto reply = FromDevice();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(reply->u.get_report_reply.id, 7u);
    EXPECT_EQ(reply->u.get_report_reply.err, 0);
    EXPECT_EQ(reply->u.get_report_reply.size, 64);
    EXPECT_EQ(reply->u.get_report_reply.data[0], 2);

    get.u.get_report.id = 8;
    get.u.get_report.rtype = UHID_FEATURE_REPORT;
    ToDevice(get);
    reply = FromDevice();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->u.get_report_reply.id, 8u);
    EXPECT_EQ(reply->u.get_report_reply.err, EIO);

    uhid_event set = NewEvent(UHID_SET_REPORT);
    set.u.set_report.id = 9;
    set.u.set_report.rnum = 1;
    set.u.set_report.rtype = UHID_OUTPUT_REPORT;
    set.u.set_report.size = 64;
    set.u.set_report.data[0] = 1;
    std::memcpy(set.u.set_report.data + 1, "LIST", 4);
    ToDevice(set);
    reply = FromDevice();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->type, UHID_SET_REPORT_REPLY);
    EXPECT_EQ(reply->u.set_report_reply.id, 9u);
    EXPECT_EQ(reply->u.set_report_reply.err, 0);
    ASSERT_EQ(firmware_.outputs.size(), 1u);
    EXPECT_EQ(firmware_.outputs[0], ReportOf(1, "LIST"));

    set.u.set_report.id = 10;
    set.u.set_report.rtype = UHID_FEATURE_REPORT;
    ToDevice(set);
    reply = FromDevice();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->u.set_report_reply.err, EIO);
    EXPECT_EQ(firmware_.outputs.size(), 1u);
}

TEST_F(UhidDeviceTest, InputReportsWaitForAnOpenDevice) {
    firmware_.inputs.push_back(ReportOf(1, "HAM RADIO INTERFACE"));
    device_->SendInput();  // not started: the kernel would refuse it
    ToDevice(NewEvent(UHID_START));
    device_->SendInput();  // nobody has it open
    EXPECT_FALSE(FromDevice());
    EXPECT_EQ(firmware_.inputs.size(), 1u);

    ToDevice(NewEvent(UHID_OPEN));
    firmware_.inputs.push_back(ReportOf(2, "FA00014074000;"));
    for (const auto& expected :
         {ReportOf(1, "HAM RADIO INTERFACE"), ReportOf(2, "FA00014074000;")}) {
        device_->SendInput();  // one report per call
        auto input = FromDevice();
        ASSERT_TRUE(input);
        ASSERT_EQ(input->type, UHID_INPUT2);
        ASSERT_EQ(input->u.input2.size, 64);
        EXPECT_EQ(0, std::memcmp(input->u.input2.data, expected.data(), 64));
        EXPECT_FALSE(FromDevice());
    }

    ToDevice(NewEvent(UHID_CLOSE));
    firmware_.inputs.push_back(ReportOf(4, "x"));
    device_->SendInput();
    EXPECT_FALSE(FromDevice());
    EXPECT_EQ(firmware_.inputs.size(), 1u);
}

TEST(DescribeReportTest, CommandsAndRepliesAsTextOtherReportsAsHex) {
    UhidReport command = ReportOf(1, "SET CAT;SPEED=9600");
    EXPECT_EQ(DescribeReport(command.data(), command.size()), "CMD SET CAT;SPEED=9600");

    UhidReport unterminated;
    unterminated.fill('A');
    unterminated[0] = 1;
    unterminated[5] = 0x07;
    EXPECT_EQ(DescribeReport(unterminated.data(), unterminated.size()),
              "CMD AAAA\\x07" + std::string(58, 'A'));

    UhidReport line{};
    line[0] = 3;
    line[1] = 0x01;
    line[2] = 0x00;
    line[3] = 0x02;
    EXPECT_EQ(DescribeReport(line.data(), line.size()), "REPORT 3: 01 00 02");
    UhidReport idle{};
    idle[0] = 3;
    EXPECT_EQ(DescribeReport(idle.data(), idle.size()), "REPORT 3: 00");

    EXPECT_EQ(DescribeInput(ReportOf(1, "HAM RADIO INTERFACE;QX-4;1.0.5")),
              "INPUT 1: HAM RADIO INTERFACE;QX-4;1.0.5");
    EXPECT_EQ(DescribeInput(ReportOf(2,
                                     "\x03"
                                     "FA;")),
              "INPUT 2: 03 46 41 3B");
}

}  // namespace
}  // namespace qx
