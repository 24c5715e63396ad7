// A radio program that holds the CAT port but reads slower than the device sends, then not at all,
// then drains what waits: the link drops whole reports and counts them, so every byte the device
// produced was either read by the program or counted as dropped. Prints each phase, what waited
// for the program after it had stopped reading, and the balance, which must hold exactly.
//
//   slow_reader_bench [--seconds=S]   (each phase lasts S seconds, 2 by default)
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "bench/support/rig.h"
#include "tests/support/radio_program.h"

namespace {

using namespace qx;
using Clock = std::chrono::steady_clock;

// 60 bytes, six whole records, per device report: a report dropped whole loses whole records.
constexpr std::size_t kReportBytes = 60;

// Keeps a few reports waiting in the device, so it sends as fast as the link takes them.
class Producer {
public:
    explicit Producer(SimDevice& device) : device_(device), thread_([this] { Run(); }) {}
    ~Producer() { Stop(); }
    void Stop() {
        running_.store(false);
        if (thread_.joinable()) thread_.join();
    }
    uint64_t Produced() const { return produced_.load(); }

private:
    void Run() {
        bench::RecordWriter writer;
        while (running_.load()) {
            if (device_.PendingInputCount() >= 4) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            device_.QueueChannelData(kCat, writer.Next(kReportBytes));
            produced_.fetch_add(kReportBytes);
        }
    }

    SimDevice& device_;
    std::atomic<bool> running_{true};
    std::atomic<uint64_t> produced_{0};
    std::thread thread_;
};

// The program's side: reads at most chunk bytes every gap, for the given time (gap 0: as fast as
// bytes come). Stops early once nothing came for idleEnd, when that is given.
struct Program {
    test::RadioProgram port;
    bench::RecordReader reader;

    uint64_t Read(double seconds, std::size_t chunk, std::chrono::microseconds gap,
                  std::chrono::milliseconds idleEnd = std::chrono::milliseconds(0)) {
        char buffer[4096];
        const uint64_t before = reader.bytes;
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        auto lastByte = Clock::now();
        while (Clock::now() < end) {
            if (idleEnd.count() > 0 && Clock::now() - lastByte > idleEnd) break;
            pollfd p{port.Fd(), POLLIN, 0};
            if (::poll(&p, 1, 5) != 1) continue;
            const ssize_t n = ::read(port.Fd(), buffer, std::min(chunk, sizeof buffer));
            if (n <= 0) continue;
            reader.Take(buffer, static_cast<std::size_t>(n));
            lastByte = Clock::now();
            if (gap.count() > 0) std::this_thread::sleep_for(gap);
        }
        return reader.bytes - before;
    }
};

unsigned long long Ull(uint64_t value) { return static_cast<unsigned long long>(value); }

}  // namespace

int main(int argc, char** argv) {
    double seconds = 2;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::atof(argv[i] + 10);
    bench::Rig rig;
    if (!rig.AddInterfaces(1)) {
        std::fprintf(stderr, "the interface did not start\n");
        return 1;
    }
    Program program{test::RadioProgram(rig.PortPath(1, kCat)), {}};
    if (!program.port.Valid() || !rig.WaitPortOpen(1, kCat, std::chrono::seconds(2))) {
        std::fprintf(stderr, "the CAT port did not open\n");
        return 1;
    }
    const std::atomic<uint64_t>& dropped = rig.Manager().list.front()->droppedBytes[kCat];

    std::printf(
        "slow reader on CAT: the device sends %zu-byte reports as fast as the link "
        "takes them; %.1f s per phase\n\n",
        kReportBytes, seconds);
    std::printf("%-34s %10s %10s %10s\n", "phase", "produced", "read", "dropped");
    Producer producer(rig.Device(1));
    uint64_t producedBefore = 0, droppedBefore = 0;
    const auto phase = [&](const char* name, uint64_t read) {
        std::printf("%-34s %10llu %10llu %10llu\n", name, Ull(producer.Produced() - producedBefore),
                    Ull(read), Ull(dropped.load() - droppedBefore));
        producedBefore = producer.Produced();
        droppedBefore = dropped.load();
    };
    using std::chrono::microseconds;
    phase("reads everything", program.Read(seconds, 4096, microseconds(0)));
    phase("reads 100 bytes every 5 ms", program.Read(seconds, 100, microseconds(5000)));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    phase("stops reading", 0);
    producer.Stop();
    while (rig.Device(1).PendingInputCount() > 0) std::this_thread::sleep_for(microseconds(500));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the link's last pass
    const uint64_t stale = program.Read(10, 4096, microseconds(0), std::chrono::milliseconds(300));
    phase("reads again (what waited)", stale);

    const uint64_t produced = producer.Produced();
    const uint64_t read = program.reader.bytes;
    std::printf("\nproduced %llu, read %llu, dropped %llu; produced - read = %llu: %s\n",
                Ull(produced), Ull(read), Ull(dropped.load()), Ull(produced - read),
                produced - read == dropped.load() ? "exact" : "MISMATCH");
    std::printf("damaged records %llu, reordered %llu\n", Ull(program.reader.damagedRecords),
                Ull(program.reader.reorderings));
    std::printf("waiting for the program after it stopped reading: %llu bytes\n", Ull(stale));
    return produced - read == dropped.load() ? 0 : 2;
}
