// A keying port served through the helper's confined relay beside the same port served in
// process, with a socket pair standing in for /dev/cuse: the kernel's part is the same on both
// roads, so the difference is what the relay adds. Prints median and p99 of the keying latency
// (an RTS change until the program's port shows it, which is what the link reads each tick) and
// of a CAT round trip (a write until the program takes it, its answer until the read returns).
// Confining the relay needs root; without it the relay runs unconfined in a child.
//
//   cuse_relay_bench [--rounds=N]
#include <asm/ioctls.h>
#include <linux/termios.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "helper/relay.h"
#include "tests/support/cuse_messages.h"
#include "vsp/cuse_device.h"
#include "vsp/cuse_relay_device.h"

namespace {

using Clock = std::chrono::steady_clock;
using qx::CuseEndpoint;

struct Road {
    qx::UniqueFd kernel;
    std::shared_ptr<CuseEndpoint> port;
};

template <typename Device>
std::shared_ptr<CuseEndpoint> Served(qx::Expected<std::shared_ptr<Device>> device) {
    if (!device) {
        std::fprintf(stderr, "no port: %s\n", device.error().message.c_str());
        std::exit(1);
    }
    return *device;
}

Road InProcess() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) std::exit(1);
    return {qx::UniqueFd(pair[0]), Served(qx::CuseDevice::Serve(qx::UniqueFd(pair[1]), {}))};
}

Road ThroughRelay() {
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
    return {qx::UniqueFd(pair[0]), Served(qx::CuseRelayDevice::Serve(std::move(program), {}))};
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
    std::printf("%-10s %-22s n=%zu median %.3f ms  p99 %.3f ms\n", road, what, ms.size(),
                ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]);
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

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2000;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
    Measure("in process", InProcess(), rounds);
    Measure("relay", ThroughRelay(), rounds);
    while (::waitpid(-1, nullptr, 0) > 0) {}
}
