// On a kernel with uhid (the virtual machine of tests/vm/run.sh): qx_uhid devices are found,
// opened and spoken to through the real hidraw backend, and their unplug reaches the kernel's
// uevent stream. Time runs slowly under emulation, so waits are generous bounded polls.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "platform/hid.h"

extern char** environ;

namespace qx {
namespace {

constexpr uint16_t kVendorId = 0x0483;
constexpr uint16_t kProductId = 0xA1DE;
constexpr auto kPatience = std::chrono::seconds(20);

// Polls until the condition holds or the patience runs out.
bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One qx_uhid process: a device plugged in while it runs, unplugged by "destroy".
class UhidProcess {
public:
    UhidProcess(const std::string& serial, const std::filesystem::path& logPath) : logPath_(logPath) {
        int input[2];
        if (pipe2(input, O_CLOEXEC) != 0) return;
        UniqueFd readEnd(input[0]);
        input_.Reset(input[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, readEnd.Get(), STDIN_FILENO);
        std::string program = QX_UHID_PROGRAM, logArg = logPath.string();
        char* argv[] = {program.data(), const_cast<char*>("--log"), logArg.data(),
                        const_cast<char*>(serial.c_str()), nullptr};
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~UhidProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool Started() const { return pid_ > 0; }
    std::vector<std::string> Log() const {
        std::vector<std::string> lines;
        std::ifstream file(logPath_);
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line.substr(line.find(' ') + 1));  // without the time stamp
        }
        return lines;
    }
    bool Logged(const std::string& line) const {
        for (const auto& entry : Log()) {
            if (entry == line) return true;
        }
        return false;
    }
    // Asks for the unplug and returns the exit status.
    int Destroy() {
        const char command[] = "destroy\n";
        if (write(input_.Get(), command, sizeof command - 1) < 0) return -1;
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    std::filesystem::path logPath_;
    UniqueFd input_;
    pid_t pid_ = -1;
};

// The kernel's own uevent broadcasts: what arrives with no udev daemon running.
class KernelUevents {
public:
    KernelUevents() {
        socket_.Reset(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1;
        if (bind(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) socket_.Reset();
    }
    bool Valid() const { return socket_.Valid(); }
    // Collects the events received so far, each as "ACTION SUBSYSTEM DEVPATH".
    const std::vector<std::string>& Events() {
        char buffer[8192];
        for (ssize_t n; (n = recv(socket_.Get(), buffer, sizeof buffer - 1, 0)) > 0;) {
            buffer[n] = 0;
            std::string action, subsystem, path;
            for (const char* field = buffer; field < buffer + n; field += std::strlen(field) + 1) {
                std::string text = field;
                if (text.rfind("ACTION=", 0) == 0) action = text.substr(7);
                if (text.rfind("SUBSYSTEM=", 0) == 0) subsystem = text.substr(10);
                if (text.rfind("DEVPATH=", 0) == 0) path = text.substr(8);
            }
            events_.push_back(action + " " + subsystem + " " + path);
        }
        return events_;
    }
    bool Saw(const std::string& action, const std::string& subsystem, const std::string& pathPart) {
        for (const auto& event : Events()) {
            std::istringstream fields(event);
            std::string a, s, p;
            fields >> a >> s >> p;
            if (a == action && s == subsystem && p.find(pathPart) != std::string::npos) return true;
        }
        return false;
    }

private:
    UniqueFd socket_;
    std::vector<std::string> events_;
};

std::vector<HidDeviceInfo> Find(HidBackend& backend, const std::string& serial) {
    std::vector<HidDeviceInfo> found;
    for (auto& info : backend.Enumerate(kVendorId, kProductId)) {
        if (info.serialNumber == serial) found.push_back(info);
    }
    return found;
}

std::string ReplyText(const uint8_t* report, int size) {
    std::string text;
    for (int i = 2; i < size && report[i] != 0; ++i) text += static_cast<char>(report[i]);
    return text;
}

class UhidGuestTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(access("/dev/uhid", R_OK | W_OK), 0) << "needs /dev/uhid: run it through tests/vm/run.sh";
        dir_ = std::filesystem::temp_directory_path() / ("qx-uhid-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_F(UhidGuestTest, DeviceIsFoundOpenedBySerialAnsweredAndUnplugged) {
    KernelUevents uevents;
    ASSERT_TRUE(uevents.Valid());
    auto backend = MakeHidrawBackend();

    UhidProcess first("QX4SIM0001", dir_ / "first.log");
    UhidProcess second("QX4SIM0002", dir_ / "second.log");
    ASSERT_TRUE(first.Started() && second.Started());
    ASSERT_TRUE(Eventually([&] { return Find(*backend, "QX4SIM0001").size() == 1 && Find(*backend, "QX4SIM0002").size() == 1; }))
        << "enumerated: " << backend->Enumerate(0, 0).size() << " hid devices";
    HidDeviceInfo info = Find(*backend, "QX4SIM0001").front();
    EXPECT_EQ(info.vendorId, kVendorId);
    EXPECT_EQ(info.productId, kProductId);
    EXPECT_EQ(info.product, "Halvorn QX-4");
    EXPECT_EQ(info.path.rfind("/dev/hidraw", 0), 0u) << info.path;
    EXPECT_TRUE(Eventually([&] { return uevents.Saw("add", "hidraw", "0483:A1DE"); }));

    // Open by serial must pick the second device, not merely the first with these ids.
    const std::string serial = "QX4SIM0002";
    auto device = backend->Open(kVendorId, kProductId, &serial);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetNonblocking(true), 0);
    uint8_t command[64] = {1, 'V', 'E', 'R'};
    ASSERT_EQ(device->Write(command, sizeof command), 64);

    uint8_t reply[64] = {};
    int got = 0;
    ASSERT_TRUE(Eventually([&] { return (got = device->Read(reply, sizeof reply)) != 0; }));
    ASSERT_EQ(got, 64);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(ReplyText(reply, got), "HAM RADIO INTERFACE;QX-4;1.0.5");
    EXPECT_TRUE(second.Logged("CMD VER"));
    EXPECT_FALSE(first.Logged("CMD VER"));

    // The unplug: the open handle fails and the kernel announces the hidraw node's removal.
    EXPECT_EQ(second.Destroy(), 0);
    EXPECT_TRUE(Eventually([&] { return device->Read(reply, sizeof reply) < 0; }));
    EXPECT_TRUE(Eventually([&] { return uevents.Saw("remove", "hidraw", "0483:A1DE"); }));
    EXPECT_TRUE(Find(*backend, "QX4SIM0002").empty());
    EXPECT_EQ(Find(*backend, "QX4SIM0001").size(), 1u);
    std::vector<std::string> log = second.Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "CREATE QX4SIM0002");
    EXPECT_EQ(log.back(), "DESTROY");
    EXPECT_EQ(first.Destroy(), 0);
}

}  // namespace
}  // namespace qx
