// The whole relay as a radio program meets it: real link workers, real pseudo-terminal ports
// made by the manager from the settings file, simulated devices with a transceiver behind CAT.
// Prints CAT latency beside a socat pseudo-terminal relay with an instant responder measured in
// the same run, sustained throughput per channel and direction with lost bytes, idle CPU and
// wake-ups with 0, 1 and 4 interfaces (and with a program holding the CAT port), and memory.
// With --trace the whole run is traced (the lines written to /dev/null, so the figures show the
// cost of making and writing them, not of a terminal).
//
//   relay_bench [--exchanges=N] [--throughput-seconds=S] [--idle-seconds=S] [--quick] [--trace]
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
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
#include "platform/trace.h"
#include "tests/support/radio_program.h"
#include "vsp/pty_port.h"

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
        if (arg == "--quick")
            options = {100, 1, 2, options.trace};
        else if (arg == "--trace")
            options.trace = true;
        else if (arg.rfind("--exchanges=", 0) == 0)
            options.exchanges = static_cast<int>(value("--exchanges="));
        else if (arg.rfind("--throughput-seconds=", 0) == 0)
            options.throughputSeconds = value("--throughput-seconds=");
        else if (arg.rfind("--idle-seconds=", 0) == 0)
            options.idleSeconds = value("--idle-seconds=");
        else {
            std::fprintf(stderr,
                         "usage: %s [--exchanges=N] [--throughput-seconds=S] [--idle-seconds=S] "
                         "[--quick] [--trace]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return options;
}

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Percentiles {
    double median = 0;
    double p99 = 0;
};

Percentiles PrintPercentiles(const char* what, std::vector<double> samples) {
    if (samples.empty()) {
        std::printf("%-46s no samples\n", what);
        return {};
    }
    std::sort(samples.begin(), samples.end());
    const Percentiles figures{samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
    std::printf("%-46s median %7.3f ms   p99 %7.3f ms   max %7.3f ms   (%zu exchanges)\n", what,
                figures.median, figures.p99, samples.back(), samples.size());
    return figures;
}

void PrintMemory(const char* what) {
    const bench::ProcessFigures figures = bench::ReadProcessFigures();
    std::printf("memory, %-38s VmRSS %7ld kB   VmHWM %7ld kB   fds %d\n", what, figures.rssKb,
                figures.hwmKb, figures.fds);
}

// "FA;" on the CAT port until the transceiver's 14-byte answer is read back: the time to the
// device's receipt of the report, and the whole round trip. With no pause, each request follows
// the pass that delivered the previous answer, so it waits for the next tick; a program that
// polls its radio pauses between requests.
Percentiles MeasureCatLatency(bench::Rig& rig, int exchanges, std::chrono::milliseconds pause) {
    rig.WaitPortOpen(1, kCat, std::chrono::seconds(2), false);  // the previous program has gone
    RadioProgram program(rig.PortPath(1, kCat));
    if (!program.Valid() || !rig.WaitPortOpen(1, kCat, std::chrono::seconds(2))) {
        std::printf("CAT latency: the port did not open\n");
        return {};
    }
    SimDevice& device = rig.Device(1);
    const int catId = device.Config().reportIds[kCat];
    std::vector<double> toDevice, roundTrip;
    for (int i = 0; i < exchanges; ++i) {
        std::this_thread::sleep_for(pause);
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
    const std::string after =
        pause.count() == 0 ? "back to back" : std::to_string(pause.count()) + " ms apart";
    PrintPercentiles(("CAT write -> device report, " + after).c_str(), toDevice);
    return PrintPercentiles(("CAT \"FA;\" -> answer read, " + after).c_str(), roundTrip);
}

// The same exchange through `socat` relaying between two pseudo-terminals, with a responder on
// the far one that answers each ';' at once: what a plain pty relay costs on this machine now.
Percentiles MeasureSocatLatency(const std::string& directory, int exchanges) {
    const std::string near = directory + "/socat-near";
    const std::string far = directory + "/socat-far";
    const std::string command =
        "exec socat PTY,link=" + near + ",raw,echo=0 PTY,link=" + far + ",raw,echo=0";
    const pid_t socat = ::fork();
    if (socat == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while ((::access(near.c_str(), F_OK) != 0 || ::access(far.c_str(), F_OK) != 0) &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Percentiles figures;
    {
        RadioProgram program(near);
        RadioProgram responder(far);
        if (!program.Valid() || !responder.Valid()) {
            std::printf("socat relay: not available (is socat installed?)\n");
        } else {
            const std::vector<uint8_t> answer{'F', 'A', '0', '0', '0', '1', '4',
                                              '2', '5', '0', '0', '0', '0', ';'};
            std::atomic<bool> stop{false};
            std::thread answering([&] {
                while (!stop.load())
                    for (uint8_t byte : responder.Read(1, std::chrono::milliseconds(50)))
                        if (byte == ';') responder.Write(answer);
            });
            std::vector<double> roundTrip;
            for (int i = 0; i < exchanges; ++i) {
                program.Read(64, std::chrono::milliseconds(0));  // nothing left of a late answer
                const auto start = Clock::now();
                program.Write({'F', 'A', ';'});
                if (program.Read(14, std::chrono::seconds(1)) == answer)
                    roundTrip.push_back(Milliseconds(Clock::now() - start));
            }
            stop.store(true);
            answering.join();
            figures = PrintPercentiles("socat pty relay, \"FA;\" -> answer", roundTrip);
        }
    }
    ::kill(socat, SIGTERM);
    ::waitpid(socat, nullptr, 0);
    return figures;
}

struct Flow {
    uint64_t sent = 0;
    uint64_t arrived = 0;
    uint64_t lost = 0;  // records found missing, or bytes that never arrived
    uint64_t reordered = 0;
    double seconds = 0;
    std::size_t channels = 1;
};

void PrintFlow(const std::string& what, const Flow& flow) {
    const double rate =
        flow.seconds > 0 ? flow.arrived / flow.seconds / flow.channels : 0;  // per channel
    std::printf(
        "%-38s %8.0f B/s per channel  %5.1f%% of 62000   sent %8llu  arrived %8llu  lost %llu  "
        "reordered %llu\n",
        what.c_str(), rate, 100.0 * rate / kTickLimitBytesPerSecond,
        static_cast<unsigned long long>(flow.sent), static_cast<unsigned long long>(flow.arrived),
        static_cast<unsigned long long>(flow.lost),
        static_cast<unsigned long long>(flow.reordered));
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

// One program on each channel's port of interface 1, once the link sees it open. The close of
// the previous run's program is awaited first: until it is seen, the port still looks open
// from before, and when it is seen, what the link relayed meanwhile is gone with that program.
std::vector<std::unique_ptr<RadioProgram>> OpenPrograms(bench::Rig& rig,
                                                        const std::vector<Channel>& channels) {
    std::vector<std::unique_ptr<RadioProgram>> programs;
    for (Channel channel : channels) {
        rig.WaitPortOpen(1, channel, std::chrono::seconds(2), false);
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
    for (Channel channel : channels)
        rig.Device(1).QueueChannelData(channel, bench::RecordWriter().Next(perChannel));
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
        PrintFlow(std::string(kChannelNames[channel]) + " program -> device",
                  ProgramToDevice(rig, {channel}, seconds));
        PrintFlow(std::string(kChannelNames[channel]) + " device -> program",
                  DeviceToProgram(rig, {channel}, seconds));
    }
    // Three channels at once: each has its own output report per tick, but the link reads one
    // input report per tick, which the channels share.
    PrintFlow("all three at once, program -> device",
              ProgramToDevice(rig, {kCat, kFsk, kWinKey}, seconds));
    PrintFlow("all three at once, device -> program",
              DeviceToProgram(rig, {kCat, kFsk, kWinKey}, seconds));
}

// Process CPU time over wall time with nothing flowing (one core is 100%), and the wake-ups
// of all its threads per second.
void MeasureIdleCpu(const char* what, double seconds) {
    const double cpuStart = bench::ProcessCpuSeconds();
    const uint64_t wakeupsStart = bench::ProcessWakeups();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double percent = 100.0 * (bench::ProcessCpuSeconds() - cpuStart) / wall;
    const double wakeups = static_cast<double>(bench::ProcessWakeups() - wakeupsStart) / wall;
    std::printf("idle, %-40s %7.3f %% of one core   %7.1f wake-ups/s\n", what, percent, wakeups);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceOut(std::fopen("/dev/null", "w"),
                                                             std::fclose);
    std::optional<TraceSession> trace;
    if (options.trace) trace.emplace(TraceSession::Options{traceOut.get(), false});
    bench::Rig rig;
    std::printf(
        "relay benchmark: 1 ms tick, limit 62 B per tick per channel and direction (62000 B/s); "
        "trace %s\n\n",
        options.trace ? "on" : "off");

    PrintMemory("0 interfaces");
    MeasureIdleCpu("no interface", options.idleSeconds);
    if (!rig.AddInterfaces(1)) {
        std::fprintf(stderr, "the first interface did not start\n");
        return 1;
    }
    PrintMemory("1 interface, 4 ports");
    MeasureIdleCpu("1 interface, 4 ports, none open", options.idleSeconds);
    {
        RadioProgram holder(rig.PortPath(1, kCat));
        if (holder.Valid() && rig.WaitPortOpen(1, kCat, std::chrono::seconds(2)))
            MeasureIdleCpu("1 interface, CAT port held open", options.idleSeconds);
    }

    std::printf("\n");
    MeasureCatLatency(rig, options.exchanges, std::chrono::milliseconds(0));
    const Percentiles ours =
        MeasureCatLatency(rig, options.exchanges, std::chrono::milliseconds(3));
    const Percentiles socat = MeasureSocatLatency(rig.PortsDirectory(), options.exchanges);
    if (socat.median > 0)
        std::printf("%-46s median %.2f x   p99 %.2f x\n", "relay (3 ms apart) / socat",
                    ours.median / socat.median, ours.p99 / socat.p99);
    std::printf("\n");
    MeasureThroughput(rig, options.throughputSeconds);
    std::printf("\n");

    if (!rig.AddInterfaces(3)) {
        std::fprintf(stderr, "the other interfaces did not start\n");
        return 1;
    }
    PrintMemory("4 interfaces, 16 ports");
    MeasureIdleCpu("4 interfaces, 16 ports, none open", options.idleSeconds);
    return 0;
}
