// A keying port served through the helper's confined relay beside the same port served in
// process, with a socket pair standing in for /dev/cuse: the kernel's part is the same on both
// roads, so the difference is what the relay adds. Prints median and p99 of the keying latency
// (an RTS change until the program's port shows it, which is what the link reads each tick) and
// of a CAT round trip (a write until the program takes it, its answer until the read returns).
// Then, as a CW operator meets it, an RTS or DTR change until the device receives its line
// report (a real link and its worker on a simulated device, which stamps each report as it
// arrives), on both roads, at rest and beside 2 and 4 busy processes (`yes > /dev/null`),
// with median, p99 and max; changes come 2 to 4 ms apart, as a keyer's elements would.
// Every thread on the road asks for real-time priority as in the program; what each got is
// printed. Confining the relay needs root; without it the relay runs unconfined in a child.
//
//   cuse_relay_bench [--rounds=N] [--keying-rounds=N]
#include <asm/ioctls.h>
#include <fcntl.h>
#include <linux/termios.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/device_protocol.h"
#include "helper/relay.h"
#include "link/CHVInterface.h"
#include "platform/realtime_scheduling.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/cuse_messages.h"
#include "tests/support/poll_until.h"
#include "vsp/cuse_device.h"
#include "vsp/cuse_relay_device.h"

namespace {

using Clock = std::chrono::steady_clock;
using qx::CuseEndpoint;

struct Road {
    qx::UniqueFd kernel;
    std::shared_ptr<CuseEndpoint> port;
};

using RoadMaker = std::function<Road(CuseEndpoint::EventFn)>;

template <typename Device>
std::shared_ptr<CuseEndpoint> Served(qx::Expected<std::shared_ptr<Device>> device) {
    if (!device) {
        std::fprintf(stderr, "no port: %s\n", device.error().message.c_str());
        std::exit(1);
    }
    return *device;
}

Road InProcess(CuseEndpoint::EventFn onEvent) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) std::exit(1);
    return {qx::UniqueFd(pair[0]), Served(qx::CuseDevice::Serve(qx::UniqueFd(pair[1]), onEvent))};
}

Road ThroughRelay(CuseEndpoint::EventFn onEvent) {
    int pair[2], relay[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0 ||
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, relay) != 0)
        std::exit(1);
    std::string error;
    qx::UniqueFd program;
    if (::geteuid() == 0) {
        qx::Expected<qx::helper::StartedRelay> started =
            qx::helper::StartRelay(qx::UniqueFd(pair[1]), "qx-COM1", {65533, 65533});
        if (started)
            program = std::move(started->program);
        else
            error = started.error().message;
        ::close(relay[0]);
        ::close(relay[1]);
    } else if (::fork() == 0) {
        ::close(relay[0]);
        if (qx::helper::PrepareRelayDescriptors(pair[1])) qx::helper::RunRelay(pair[1], relay[1]);
        ::_exit(0);
    } else {
        ::close(pair[1]);
        ::close(relay[1]);
        program.Reset(relay[0]);
    }
    if (!program.Valid()) {
        std::fprintf(stderr, "no relay: %s\n", error.c_str());
        std::exit(1);
    }
    return {qx::UniqueFd(pair[0]), Served(qx::CuseRelayDevice::Serve(std::move(program), onEvent))};
}

qx::test::Reply Ask(int kernel, const std::vector<uint8_t>& request) {
    if (::write(kernel, request.data(), request.size()) < 0) std::exit(1);
    std::vector<uint8_t> reply(qx::kCuseReadBuffer);
    const ssize_t n = ::read(kernel, reply.data(), reply.size());
    reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return qx::test::Parse(reply);
}

template <typename Condition>
void SpinUntil(Condition condition) {
    while (!condition()) {}
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Print(const char* road, const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-10s %-22s n=%zu median %.3f ms  p99 %.3f ms  max %.3f ms\n", road, what,
                ms.size(), ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)],
                ms.back());
}

void Measure(const char* name, Road road, int rounds) {
    const int kernel = road.kernel.Get();
    CuseEndpoint& port = *road.port;
    const uint64_t fh = Ask(kernel, qx::test::Open(1, O_RDWR)).As<fuse_open_out>().fh;
    uint64_t unique = 1;
    std::vector<double> keying, roundTrip;
    const std::string rts = qx::test::IntBytes(TIOCM_RTS);
    const std::string answer = "FA00014074000;";
    for (int i = 0; i < rounds; ++i) {
        const bool raise = i % 2 == 0;
        auto start = Clock::now();
        Ask(kernel, qx::test::Ioctl(++unique, fh, raise ? TIOCMBIS : TIOCMBIC, 0x1000, rts));
        SpinUntil([&] { return port.Rts() == raise; });
        keying.push_back(Ms(Clock::now() - start));

        start = Clock::now();
        Ask(kernel, qx::test::Write(++unique, fh, "FA;"));
        SpinUntil([&] { return port.BytesWaiting() == 3; });
        uint8_t taken[3];
        port.TakeFromProgram(taken, sizeof taken);
        port.DeliverToProgram(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
        Ask(kernel, qx::test::Read(++unique, fh, 64, 0));
        roundTrip.push_back(Ms(Clock::now() - start));
    }
    Print(name, "RTS/DTR change", keying);
    Print(name, "CAT round trip", roundTrip);
    road.port->End();
}

// The keying port as the link sees it: the endpoint's lines and bytes, nothing to publish.
class EndpointPort final : public qx::IVSPortAx {
public:
    explicit EndpointPort(std::shared_ptr<CuseEndpoint> endpoint)
        : endpoint_(std::move(endpoint)) {}
    qx::Expected<void> CreatePort(const std::string&) override { return {}; }
    void DeletePort() override {}
    bool WriteToPort(const uint8_t* data, int count) override {
        return endpoint_->DeliverToProgram(data, static_cast<size_t>(count));
    }
    std::optional<int> ReadFromPort(uint8_t* buffer, int maxCount) override {
        return static_cast<int>(endpoint_->TakeFromProgram(buffer, static_cast<size_t>(maxCount)));
    }
    std::optional<bool> IsOpen() override { return endpoint_->IsOpen(); }
    std::optional<int> BytesWaiting() override {
        return static_cast<int>(endpoint_->BytesWaiting());
    }
    void DeleteAllPorts() override {}
    qx::Expected<void> ReusePort(const std::string&) override { return {}; }
    bool SetInputLine(bool asserted) override {
        endpoint_->SetInputLine(asserted);
        return true;
    }
    void SetCreationFlag(bool) override {}
    std::optional<int> GetParity() override { return endpoint_->Settings().parity; }
    std::optional<int> GetStopBits() override { return endpoint_->Settings().stopBits; }
    std::optional<int> GetDataBits() override { return endpoint_->Settings().dataBits; }
    std::optional<int> GetBaudRate() override { return endpoint_->Settings().baudRate; }
    std::optional<std::string> GetOpenerPath() override { return std::nullopt; }
    std::optional<bool> GetRts() override { return endpoint_->Rts(); }
    std::optional<bool> GetDtr() override { return endpoint_->Dtr(); }
    bool Advise(std::shared_ptr<qx::IVSPortAxEvents>, uint32_t&) override { return true; }
    void Unadvise(uint32_t) override {}

private:
    std::shared_ptr<CuseEndpoint> endpoint_;
};

// count processes that only burn CPU, as `yes > /dev/null` does; ended by their destructor.
class BusyProcesses {
public:
    explicit BusyProcesses(int count) {
        for (int i = 0; i < count; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                const int null = ::open("/dev/null", O_WRONLY);
                if (null >= 0) ::dup2(null, STDOUT_FILENO);
                ::execlp("yes", "yes", static_cast<char*>(nullptr));
                ::_exit(127);
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyProcesses() {
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
        for (pid_t pid : pids_) ::waitpid(pid, nullptr, 0);
    }
    BusyProcesses(const BusyProcesses&) = delete;
    BusyProcesses& operator=(const BusyProcesses&) = delete;

private:
    std::vector<pid_t> pids_;
};

// When the device received a line report with these flags, among those after the first
// `since`; waits for the next report while none has come.
std::optional<Clock::time_point> LineReportTime(qx::SimDevice& device, std::size_t since,
                                                uint8_t flags) {
    for (;;) {
        for (const qx::SimReport& report : device.ReceivedSince(since))
            if (report.bytes[0] == qx::kLineReportId && report.bytes[1] == flags)
                return report.time;
        pollfd p{device.ReceivedFd(), POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1) return std::nullopt;
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(p.fd, &count, sizeof count);
    }
}

std::string SchedulingName(const qx::SchedulingOutcome& outcome) {
    switch (outcome.scheduling) {
    case qx::Scheduling::kNotAsked: return "not asked";
    case qx::Scheduling::kFifo: return "SCHED_FIFO";
    case qx::Scheduling::kRealtimeKit: return "SCHED_RR (RealtimeKit)";
    case qx::Scheduling::kNormal: break;
    }
    return "normal (" + outcome.refusal + ")";
}

// RTS and DTR changes, one at a time, until the device receives each line report.
std::vector<double> MeasureToDevice(const RoadMaker& makeRoad, int rounds) {
    qx::SimHidBackend backend;
    backend.AddDevice();
    std::shared_ptr<qx::SimDevice> device = backend.Device(1);
    qx::CHVInterface link(backend);
    link.key = device->Config().serialNumber;
    link.devicePath = backend.DevicePath(1);
    if (!link.Start(0, false) || !qx::test::PollUntil([&] { return !link.VersionText().empty(); },
                                                      std::chrono::seconds(10))) {
        std::fprintf(stderr, "the link did not start\n");
        std::exit(1);
    }
    Road road = makeRoad([wake = link.WorkerWake()](int) { wake->Signal(); });
    {
        std::lock_guard lock(link.portGuard);
        link.ports[qx::kPttCw].instance = std::make_unique<EndpointPort>(road.port);
    }
    const int kernel = road.kernel.Get();
    const uint64_t fh = Ask(kernel, qx::test::Open(1, O_RDWR)).As<fuse_open_out>().fh;
    link.Wake();
    std::mt19937 random(42);
    std::uniform_int_distribution<int> gapMicroseconds(2000, 4000);
    uint64_t unique = 1;
    uint8_t flags = 0;
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(gapMicroseconds(random)));
        const int line = i % 2 == 0 ? TIOCM_RTS : TIOCM_DTR;  // RTS keys PTT, DTR CW
        const uint8_t bit = line == TIOCM_RTS ? qx::kPttBit : qx::kCwBit;
        const bool raise = (flags & bit) == 0;
        flags = static_cast<uint8_t>(raise ? flags | bit : flags & ~bit);
        const std::size_t since = device->ReceivedCount();
        const auto start = Clock::now();
        Ask(kernel, qx::test::Ioctl(++unique, fh, raise ? TIOCMBIS : TIOCMBIC, 0x1000,
                                    qx::test::IntBytes(line)));
        const std::optional<Clock::time_point> received = LineReportTime(*device, since, flags);
        if (!received) {
            std::fprintf(stderr, "no line report within a second\n");
            std::exit(1);
        }
        ms.push_back(Ms(*received - start));
    }
    {
        std::lock_guard lock(link.portGuard);
        link.ports[qx::kPttCw].instance.reset();
    }
    road.port->End();
    link.Close();
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2000;
    int keyingRounds = 3000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
        if (std::strncmp(argv[i], "--keying-rounds=", 16) == 0)
            keyingRounds = std::atoi(argv[i] + 16);
    }
    Measure("in process", InProcess({}), rounds);
    Measure("relay", ThroughRelay({}), rounds);

    // This thread stands in for the device and the kernel, which busy processes do not delay:
    // real-time below the keying road, so that it never holds the simulated device's lock while
    // they run and the worker waits for it.
    const sched_param standIn{.sched_priority = 10};
    if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &standIn) != 0)
        std::printf("the bench's own thread runs at normal priority\n");
    const struct {
        const char* name;
        RoadMaker make;
    } roads[] = {{"in process", InProcess}, {"relay", ThroughRelay}};
    for (int busy : {0, 2, 4}) {
        const BusyProcesses load(busy);
        for (const auto& road : roads) {
            const std::string what = "to device, " + std::to_string(busy) + " busy";
            Print(road.name, what.c_str(), MeasureToDevice(road.make, keyingRounds));
        }
    }
    for (int role = 0; role < qx::kSchedulingRoleCount; ++role)
        std::printf("%s: %s\n", (const char*[]){"link worker", "port thread", "relay"}[role],
                    SchedulingName(qx::LastSchedulingOutcome(static_cast<qx::SchedulingRole>(role)))
                        .c_str());
    while (::waitpid(-1, nullptr, 0) > 0) {}
}
