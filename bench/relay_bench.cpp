// The whole relay as a radio program meets it: real link workers on their 1 ms tick, real
// pseudo-terminal ports made by the manager from the settings file, simulated devices with a
// transceiver behind CAT. Prints CAT latency, sustained throughput per channel and direction
// with lost bytes, idle CPU per interface and memory with 0, 1 and 4 interfaces. With --trace
// the whole run is traced (the lines written to /dev/null, so the figures show the cost of
// making and writing them, not of a terminal).
//
//   relay_bench [--exchanges=N] [--throughput-seconds=S] [--idle-seconds=S] [--quick] [--trace]
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/rig.h"
#include "platform/pty_port.h"
#include "platform/trace.h"
#include "tests/support/radio_program.h"

namespace {

using namespace qx;
using Clock = std::chrono::steady_clock;
using test::RadioProgram;

constexpr double kTickLimitBytesPerSecond = 62000.0;  // 62 payload bytes per 1 ms tick
const char* const kChannelNames[kChannelCount] = {"CAT", "PTT/CW", "FSK", "WinKey"};

struct Options {
    int exchanges = 500;
    double throughputSeconds = 5;
    double idleSeconds = 10;
    bool trace = false;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) { return std::atof(arg.c_str() + std::strlen(name)); };
        if (arg == "--quick") options = {100, 1, 2, options.trace};
        else if (arg == "--trace") options.trace = true;
        else if (arg.rfind("--exchanges=", 0) == 0) options.exchanges = static_cast<int>(value("--exchanges="));
        else if (arg.rfind("--throughput-seconds=", 0) == 0) options.throughputSeconds = value("--throughput-seconds=");
        else if (arg.rfind("--idle-seconds=", 0) == 0) options.idleSeconds = value("--idle-seconds=");
        else {
            std::fprintf(stderr, "usage: %s [--exchanges=N] [--throughput-seconds=S] [--idle-seconds=S] [--quick] [--trace]\n", argv[0]);
            std::exit(2);
        }
    }
    return options;
}

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void PrintPercentiles(const char* what, std::vector<double> samples) {
    if (samples.empty()) {
        std::printf("%-46s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    std::printf("%-46s median %7.3f ms   p99 %7.3f ms   max %7.3f ms   (%zu exchanges)\n", what,
                samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back(), samples.size());
}

void PrintMemory(const char* what) {
    const bench::ProcessFigures figures = bench::ReadProcessFigures();
    std::printf("memory, %-38s VmRSS %7ld kB   VmHWM %7ld kB   fds %d\n", what, figures.rssKb, figures.hwmKb,
                figures.fds);
}

// "FA;" on the CAT port until the transceiver's 14-byte answer is read back: the time to the
// device's receipt of the report, and the whole round trip.
void MeasureCatLatency(bench::Rig& rig, int exchanges) {
    RadioProgram program(rig.PortPath(1, kCat));
    if (!program.Valid() || !rig.WaitPortOpen(1, kCat, std::chrono::seconds(2))) {
        std::printf("CAT latency: the port did not open\n");
        return;
    }
    SimDevice& device = rig.Device(1);
    const int catId = device.Config().reportIds[kCat];
    std::vector<double> toDevice, roundTrip;
    for (int i = 0; i < exchanges; ++i) {
        const std::size_t before = device.ReceivedCount();
        const auto start = Clock::now();
        program.Write({'F', 'A', ';'});
        const std::vector<uint8_t> answer = program.Read(14, std::chrono::seconds(1));
        const auto end = Clock::now();
        if (answer.size() != 14 || answer.back() != ';') {
            std::printf("exchange %d: answer incomplete (%zu bytes)\n", i, answer.size());
            continue;
        }
        roundTrip.push_back(Milliseconds(end - start));
        for (const SimReport& report : device.ReceivedSince(before)) {
            if (report.bytes[0] == catId) {
                toDevice.push_back(Milliseconds(report.time - start));
                break;
            }
        }
    }
    PrintPercentiles("CAT program write -> device report", toDevice);
    PrintPercentiles("CAT \"FA;\" -> program reads answer", roundTrip);
}

struct Flow {
    uint64_t sent = 0;
    uint64_t arrived = 0;
    uint64_t lost = 0;       // records found missing, or bytes that never arrived
    uint64_t reordered = 0;
    double seconds = 0;
    std::size_t channels = 1;
};

void PrintFlow(const std::string& what, const Flow& flow) {
    const double rate = flow.seconds > 0 ? flow.arrived / flow.seconds / flow.channels : 0;  // per channel
    std::printf("%-38s %8.0f B/s per channel  %5.1f%% of 62000   sent %8llu  arrived %8llu  lost %llu  reordered %llu\n",
                what.c_str(), rate, 100.0 * rate / kTickLimitBytesPerSecond,
                static_cast<unsigned long long>(flow.sent), static_cast<unsigned long long>(flow.arrived),
                static_cast<unsigned long long>(flow.lost), static_cast<unsigned long long>(flow.reordered));
}

// Waits until arrived() reaches total or has not moved for a second; returns the time of the
// last progress, measured from start.
template <typename Arrived>
double WaitForArrival(Arrived arrived, uint64_t total, Clock::time_point start) {
    uint64_t seen = arrived();
    auto lastProgress = Clock::now();
    while (seen < total && Clock::now() - lastProgress < std::chrono::seconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const uint64_t now = arrived();
        if (now != seen) lastProgress = Clock::now();
        seen = now;
    }
    return std::chrono::duration<double>(lastProgress - start).count();
}

// One program on each channel's port of interface 1, once the link sees it open.
std::vector<std::unique_ptr<RadioProgram>> OpenPrograms(bench::Rig& rig, const std::vector<Channel>& channels) {
    std::vector<std::unique_ptr<RadioProgram>> programs;
    for (Channel channel : channels) {
        programs.push_back(std::make_unique<RadioProgram>(rig.PortPath(1, channel)));
        rig.WaitPortOpen(1, channel, std::chrono::seconds(2));
    }
    return programs;
}

// Programs write as fast as their ports take it; the device collects and checks each stream.
Flow ProgramToDevice(bench::Rig& rig, const std::vector<Channel>& channels, double seconds) {
    const uint64_t perChannel = static_cast<uint64_t>(seconds * kTickLimitBytesPerSecond) / 10 * 10;
    const auto programs = OpenPrograms(rig, channels);
    for (Channel channel : channels) rig.Device(1).TakeChannelData(channel);
    std::vector<bench::RecordReader> readers(channels.size());
    const auto start = Clock::now();
    std::vector<std::thread> writers;
    for (auto& program : programs) {
        writers.emplace_back([&program, perChannel] {
            const std::string text = bench::RecordWriter().Next(perChannel);
            program->Write({text.begin(), text.end()}, std::chrono::seconds(120));
        });
    }
    auto arrived = [&] {
        uint64_t total = 0;
        for (std::size_t i = 0; i < channels.size(); ++i) {
            readers[i].Take(rig.Device(1).TakeChannelData(channels[i]));
            total += readers[i].bytes;
        }
        return total;
    };
    Flow flow;
    flow.channels = channels.size();
    flow.sent = perChannel * channels.size();
    flow.seconds = WaitForArrival(arrived, flow.sent, start);
    for (auto& writer : writers) writer.join();
    flow.arrived = arrived();
    for (const auto& reader : readers) {
        flow.lost += reader.lostBytes;
        flow.reordered += reader.reorderings;
    }
    flow.lost += flow.sent - std::min(flow.sent, flow.arrived + flow.lost);
    return flow;
}

// The device queues each stream at once; programs read and check what reaches them.
Flow DeviceToProgram(bench::Rig& rig, const std::vector<Channel>& channels, double seconds) {
    const uint64_t perChannel = static_cast<uint64_t>(seconds * kTickLimitBytesPerSecond) / 10 * 10;
    const auto programs = OpenPrograms(rig, channels);
    std::vector<bench::RecordReader> readers(channels.size());
    std::atomic<uint64_t> arrivedBytes{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        threads.emplace_back([&, i] {
            char buffer[4096];
            while (!stop.load()) {
                pollfd p{programs[i]->Fd(), POLLIN, 0};
                if (::poll(&p, 1, 20) != 1) continue;
                const ssize_t n = ::read(programs[i]->Fd(), buffer, sizeof buffer);
                if (n <= 0) continue;
                readers[i].Take(buffer, static_cast<std::size_t>(n));
                arrivedBytes.fetch_add(static_cast<uint64_t>(n));
            }
        });
    }
    const auto start = Clock::now();
    for (Channel channel : channels) rig.Device(1).QueueChannelData(channel, bench::RecordWriter().Next(perChannel));
    Flow flow;
    flow.channels = channels.size();
    flow.sent = perChannel * channels.size();
    flow.seconds = WaitForArrival([&] { return arrivedBytes.load(); }, flow.sent, start);
    stop.store(true);
    for (auto& thread : threads) thread.join();
    flow.arrived = arrivedBytes.load();
    for (const auto& reader : readers) {
        flow.lost += reader.lostBytes;
        flow.reordered += reader.reorderings;
    }
    flow.lost += flow.sent - std::min(flow.sent, flow.arrived + flow.lost);
    for (Channel channel : channels) {
        if (const auto dropped = TransmitOverflowCount(*rig.Port(1, channel)); dropped && *dropped)
            std::printf("  %s port dropped %llu bytes it could not hold\n", kChannelNames[channel],
                        static_cast<unsigned long long>(*dropped));
    }
    return flow;
}

void MeasureThroughput(bench::Rig& rig, double seconds) {
    for (Channel channel : {kCat, kFsk, kWinKey}) {
        PrintFlow(std::string(kChannelNames[channel]) + " program -> device", ProgramToDevice(rig, {channel}, seconds));
        PrintFlow(std::string(kChannelNames[channel]) + " device -> program", DeviceToProgram(rig, {channel}, seconds));
    }
    // Three channels at once: each has its own output report per tick, but the link reads one
    // input report per tick, which the channels share.
    PrintFlow("all three at once, program -> device", ProgramToDevice(rig, {kCat, kFsk, kWinKey}, seconds));
    PrintFlow("all three at once, device -> program", DeviceToProgram(rig, {kCat, kFsk, kWinKey}, seconds));
}

// Process CPU time over wall time with nothing flowing; one core is 100%.
void MeasureIdleCpu(int interfaces, double seconds) {
    const double cpuStart = bench::ProcessCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double percent = 100.0 * (bench::ProcessCpuSeconds() - cpuStart) / wall;
    if (interfaces == 0)
        std::printf("idle CPU, no interface                         %6.3f %% of one core\n", percent);
    else
        std::printf("idle CPU, %d interface(s), all ports created    %6.3f %% of one core, %6.3f %% per interface\n",
                    interfaces, percent, percent / interfaces);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceOut(std::fopen("/dev/null", "w"), std::fclose);
    std::optional<TraceSession> trace;
    if (options.trace) trace.emplace(TraceSession::Options{traceOut.get(), false});
    bench::Rig rig;
    std::printf("relay benchmark: 1 ms tick, limit 62 B per tick per channel and direction (62000 B/s); trace %s\n\n",
                options.trace ? "on" : "off");

    PrintMemory("0 interfaces");
    MeasureIdleCpu(0, options.idleSeconds);
    if (!rig.AddInterfaces(1)) {
        std::fprintf(stderr, "the first interface did not start\n");
        return 1;
    }
    PrintMemory("1 interface, 4 ports");
    MeasureIdleCpu(1, options.idleSeconds);

    std::printf("\n");
    MeasureCatLatency(rig, options.exchanges);
    std::printf("\n");
    MeasureThroughput(rig, options.throughputSeconds);
    std::printf("\n");

    if (!rig.AddInterfaces(3)) {
        std::fprintf(stderr, "the other interfaces did not start\n");
        return 1;
    }
    PrintMemory("4 interfaces, 16 ports");
    MeasureIdleCpu(4, options.idleSeconds);
    return 0;
}
