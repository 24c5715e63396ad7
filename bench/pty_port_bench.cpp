// Latency and throughput of the pseudo-terminal ports, measured with a program on the slave
// side in this process: how soon a byte the program writes shows in BytesWaiting, how soon a
// byte given to WriteToPort reaches the program, and sustained bytes per second each way.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "tests/support/temp_home.h"
#include "vsp/pty_port.h"

namespace {

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void PrintLatency(const char* what, std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    std::printf("%-40s median %8.1f us   p99 %8.1f us   (%zu samples)\n", what,
                samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.size());
}

// Waits until the program's descriptor has bytes to read.
void WaitReadable(int fd) {
    struct pollfd p {
        fd, POLLIN, 0
    };
    ::poll(&p, 1, 1000);
}

std::vector<double> ProgramToPortLatency(qx::IVSPortAx& port, int program, int samples) {
    std::vector<double> result;
    uint8_t byte = 'A', buffer[62];
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        if (::write(program, &byte, 1) != 1) break;
        // Yielding leaves the core to the kernel's pty worker and the watch thread on a busy
        // machine; the link itself looks once per millisecond.
        while (port.BytesWaiting().value_or(0) == 0) std::this_thread::yield();
        result.push_back(Microseconds(Clock::now() - start));
        port.ReadFromPort(buffer, sizeof buffer);
    }
    return result;
}

std::vector<double> PortToProgramLatency(qx::IVSPortAx& port, int program, int samples) {
    std::vector<double> result;
    uint8_t byte = 'B';
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        port.WriteToPort(&byte, 1);
        WaitReadable(program);
        if (::read(program, &byte, 1) != 1) break;
        result.push_back(Microseconds(Clock::now() - start));
    }
    return result;
}

constexpr size_t kThroughputBytes = 16 * 1024 * 1024;

double ProgramToPortThroughput(qx::IVSPortAx& port, int program) {
    std::thread writer([program] {
        std::vector<uint8_t> block(4096, 0x55);
        for (size_t sent = 0; sent < kThroughputBytes;) {
            const size_t want = std::min(block.size(), kThroughputBytes - sent);
            const ssize_t n = ::write(program, block.data(), want);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            } else {
                struct pollfd p {
                    program, POLLOUT, 0
                };
                ::poll(&p, 1, 100);
            }
        }
    });
    const auto start = Clock::now();
    uint8_t buffer[62];  // the link takes at most 62 bytes per report
    for (size_t taken = 0; taken < kThroughputBytes;) {
        if (port.BytesWaiting().value_or(0) == 0) {
            std::this_thread::yield();
            continue;
        }
        taken += static_cast<size_t>(port.ReadFromPort(buffer, sizeof buffer).value_or(0));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    return kThroughputBytes / seconds / 1e6;
}

double PortToProgramThroughput(qx::IVSPortAx& port, int program) {
    std::atomic<size_t> received{0};
    std::thread reader([&] {
        std::vector<uint8_t> block(4096);
        while (received.load() < kThroughputBytes) {
            WaitReadable(program);
            const ssize_t n = ::read(program, block.data(), block.size());
            if (n > 0) received.fetch_add(static_cast<size_t>(n));
        }
    });
    const auto start = Clock::now();
    uint8_t chunk[62];
    std::fill(std::begin(chunk), std::end(chunk), 0xAA);
    // Keep less in flight than the pty and the transmit buffer hold, so nothing is dropped.
    for (size_t sent = 0; sent < kThroughputBytes;) {
        if (sent - received.load() > 16 * 1024) {
            std::this_thread::yield();
            continue;
        }
        const size_t n = std::min(sizeof chunk, kThroughputBytes - sent);
        port.WriteToPort(chunk, static_cast<int>(n));
        sent += n;
    }
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return kThroughputBytes / seconds / 1e6;
}

}  // namespace

int main() {
    const qx::test::TempHome home;
    const std::string& dir = home.Root();
    auto made = qx::MakePtyPortClass(dir);
    if (!made) {
        std::fprintf(stderr, "pseudo-terminals are not available: %s\n",
                     made.error().message.c_str());
        return 1;
    }
    auto port = (*made)->CreateInstance();
    if (!port->CreatePort("COM5")) return 1;
    qx::UniqueFd program(::open((dir + "/COM5").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    while (port->IsOpen() != true) std::this_thread::yield();

    PrintLatency("program write -> BytesWaiting", ProgramToPortLatency(*port, program.Get(), 5000));
    PrintLatency("WriteToPort -> program read", PortToProgramLatency(*port, program.Get(), 5000));
    std::printf("%-44s %8.1f MB/s\n", "throughput program -> port (62-byte reads)",
                ProgramToPortThroughput(*port, program.Get()));
    std::printf("%-44s %8.1f MB/s\n", "throughput port -> program (62-byte writes)",
                PortToProgramThroughput(*port, program.Get()));
    std::printf("transmit overflow during the run: %llu bytes\n",
                static_cast<unsigned long long>(qx::TransmitOverflowCount(*port).value_or(0)));

    port->DeletePort();
    program.Reset();
    port.reset();
    return 0;
}
