// A long run of the whole core under churn: four simulated interfaces with all sixteen ports,
// numbered record streams on every data channel both ways, programs opening and closing ports
// at random, devices unplugged and plugged back at random on the main ("user interface")
// thread. At the end: bytes moved and lost, descriptors and memory at start, middle and end,
// and whether the settings file is still the one saved at the start.
//
//   soak_bench [--seconds=S] [--seed=N]        (default 600 s)
//
// Loss is counted only where nothing excuses it: on ports a program kept open and kept reading
// while their device stayed plugged. Bytes in flight when a device goes, or when a program
// closes its port, are gone by design and not counted.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/rig.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_home.h"

namespace {

using namespace qx;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test::RadioProgram;

constexpr int kDevices = 4;
constexpr Channel kDataChannels[] = {kCat, kFsk, kWinKey};
// Device-to-program feed per device: reports queued per 10 ms, shared by its three channels,
// and never more than this many waiting (a link that is not reading must not grow the queue).
constexpr int kFeedReportsPer10Ms = 3;
constexpr std::size_t kMaxPendingReports = 40;
constexpr std::size_t kFeedChunk = 60;            // six records per report
constexpr std::size_t kProgramBytesPer10Ms = 60;  // a steady program's writes, per channel
const char* const kChannelNames[kChannelCount] = {"CAT", "PTT/CW", "FSK", "WinKey"};

// Each device keeps CAT and one more data channel held by a steady program; the other data
// channel and PTT/CW are opened and closed at random.
bool IsSteady(int device, Channel channel) {
    return channel == kCat || channel == (device % 2 ? kFsk : kWinKey);
}
Channel ChurnDataChannel(int device) { return device % 2 ? kWinKey : kFsk; }

struct Shared {
    std::atomic<bool> stop{false};
    // Raised when a device is unplugged and when it is back: a reader that sees it move forgets
    // its stream position.
    std::array<std::atomic<uint64_t>, kDevices + 1> plugEpoch{};
    std::atomic<int> programFds{0};  // descriptors the "programs" hold, left out of the figures
    std::atomic<uint64_t> fedBytes{0}, programReadBytes{0}, programWrittenBytes{0};
    std::atomic<uint64_t> churnOpens{0}, steadyReopens{0};
    std::atomic<uint64_t> lostToPrograms{0}, reorderedToPrograms{0}, damagedToPrograms{0};
};

// A program that holds one port for the whole run (opening it again whenever its device comes
// back), writes its own record stream and checks the one the device sends.
void SteadyProgram(const bench::Rig& rig, Shared& shared, int device, Channel channel) {
    const std::string path = rig.PortPath(device, channel);
    bench::RecordWriter writer;
    std::string unsent;
    bench::RecordReader reader;
    char buffer[4096];
    while (!shared.stop.load()) {
        RadioProgram program(path);
        if (!program.Valid()) {
            std::this_thread::sleep_for(milliseconds(20));
            continue;
        }
        shared.programFds.fetch_add(1);
        shared.steadyReopens.fetch_add(1);
        reader.Resynchronize();
        unsent.clear();  // what did not reach the old port is excused with it
        uint64_t epoch = shared.plugEpoch[device].load();
        auto nextWrite = Clock::now();
        bool gone = false;
        while (!shared.stop.load() && !gone) {
            pollfd p{program.Fd(), POLLIN, 0};
            ::poll(&p, 1, 5);
            const ssize_t n = ::read(program.Fd(), buffer, sizeof buffer);
            if (n > 0) {
                if (const uint64_t now = shared.plugEpoch[device].load(); now != epoch) {
                    epoch = now;
                    reader.Resynchronize();
                }
                reader.Take(buffer, static_cast<std::size_t>(n));
                shared.programReadBytes.fetch_add(static_cast<uint64_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR) ||
                       (p.revents & (POLLHUP | POLLERR))) {
                gone = true;  // the port left with its device
            }
            if (Clock::now() >= nextWrite) {
                nextWrite += milliseconds(10);
                if (unsent.size() < 4096) unsent += writer.Next(kProgramBytesPer10Ms);
                const ssize_t w = ::write(program.Fd(), unsent.data(), unsent.size());
                if (w > 0) {
                    unsent.erase(0, static_cast<std::size_t>(w));
                    shared.programWrittenBytes.fetch_add(static_cast<uint64_t>(w));
                }
            }
        }
        shared.programFds.fetch_sub(1);
    }
    shared.lostToPrograms.fetch_add(reader.lostBytes);
    shared.reorderedToPrograms.fetch_add(reader.reorderings);
    shared.damagedToPrograms.fetch_add(reader.damagedRecords);
    std::printf(
        "  steady program on device %d %-6s read %10llu bytes, lost %llu, reordered %llu, damaged "
        "%llu\n",
        device, kChannelNames[channel], static_cast<unsigned long long>(reader.bytes),
        static_cast<unsigned long long>(reader.lostBytes),
        static_cast<unsigned long long>(reader.reorderings),
        static_cast<unsigned long long>(reader.damagedRecords));
}

// Programs that come and go: open a random churn port, perhaps set its line, write and read a
// little, close it after a random while.
void ChurnPrograms(const bench::Rig& rig, Shared& shared, unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static constexpr int kRates[] = {1200, 4800, 9600, 19200, 38400, 57600, 115200};
    char buffer[4096];
    while (!shared.stop.load()) {
        const int device = pick(1, kDevices);
        const Channel channel = pick(0, 1) ? kPttCw : ChurnDataChannel(device);
        {
            RadioProgram program(rig.PortPath(device, channel));
            if (program.Valid()) {
                shared.programFds.fetch_add(1);
                shared.churnOpens.fetch_add(1);
                if (pick(0, 1))
                    program.Configure(kRates[pick(0, 6)], 8, test::ProgramParity::kNone,
                                      pick(1, 2));
                const auto until = Clock::now() + milliseconds(pick(10, 400));
                while (Clock::now() < until && !shared.stop.load()) {
                    const std::string junk(static_cast<std::size_t>(pick(0, 100)),
                                           static_cast<char>('a' + pick(0, 25)));
                    if (channel != kPttCw && ::write(program.Fd(), junk.data(), junk.size()) > 0)
                        shared.programWrittenBytes.fetch_add(junk.size());
                    const ssize_t n = ::read(program.Fd(), buffer, sizeof buffer);
                    if (n > 0) shared.programReadBytes.fetch_add(static_cast<uint64_t>(n));
                    std::this_thread::sleep_for(milliseconds(5));
                }
                shared.programFds.fetch_sub(1);
            }
        }
        std::this_thread::sleep_for(milliseconds(pick(0, 100)));
    }
}

// Queues record streams on every data channel of every device, as fast as the links take them.
void Feeder(bench::Rig& rig, Shared& shared) {
    std::array<std::array<bench::RecordWriter, kChannelCount>, kDevices + 1> writers;
    int next = 0;
    while (!shared.stop.load()) {
        for (int device = 1; device <= kDevices; ++device) {
            SimDevice& sim = rig.Device(device);
            for (int i = 0; i < kFeedReportsPer10Ms && sim.PendingInputCount() < kMaxPendingReports;
                 ++i) {
                const Channel channel = kDataChannels[next++ % 3];
                sim.QueueChannelData(channel, writers[device][channel].Next(kFeedChunk));
                shared.fedBytes.fetch_add(kFeedChunk);
            }
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

// The device side of the program-to-device streams: taken on the main thread, so a device's
// last bytes can be collected between its unplugging and its return.
class Collector {
public:
    void Collect(bench::Rig& rig, int device) {
        for (Channel channel : kDataChannels) {
            const std::string data = rig.Device(device).TakeChannelData(channel);
            bytes_ += data.size();
            if (IsSteady(device, channel)) readers_[device][channel].Take(data);
        }
    }
    void Resynchronize(int device) {
        for (auto& reader : readers_[device]) reader.Resynchronize();
    }
    uint64_t Bytes() const { return bytes_; }
    uint64_t Sum(uint64_t bench::RecordReader::*field) const {
        uint64_t sum = 0;
        for (const auto& device : readers_)
            for (const auto& reader : device) sum += reader.*field;
        return sum;
    }

private:
    std::array<std::array<bench::RecordReader, kChannelCount>, kDevices + 1> readers_;
    uint64_t bytes_ = 0;
};

struct Sample {
    double seconds;
    bench::ProcessFigures figures;
    int programFds;
};

void PrintSample(const char* what, const Sample& s) {
    std::printf("%-7s t=%6.0f s  fds %3d (core %3d, programs %d)  VmRSS %7ld kB  VmHWM %7ld kB\n",
                what, s.seconds, s.figures.fds, s.figures.fds - s.programFds, s.programFds,
                s.figures.rssKb, s.figures.hwmKb);
}

class Soak {
public:
    Soak(double seconds, unsigned seed) : seconds_(seconds), random_(seed), seed_(seed) {}

    int Run();

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    double Elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    Sample TakeSample() const {
        return {Elapsed(), bench::ReadProcessFigures(), shared_.programFds.load()};
    }
    void Unplug(int device);
    void Plug(int device);
    void QuickReplug(int device);
    void CheckRecovery();
    void SaveAll();
    void Report(const Sample& start, const Sample& middle, const Sample& end, bool iniIntact);

    const double seconds_;
    std::mt19937 random_;
    const unsigned seed_;
    bench::Rig rig_;
    Shared shared_;
    Collector collector_;
    Clock::time_point start_;
    uint64_t unplugs_ = 0, quickReplugs_ = 0, deadAfterQuickReplug_ = 0;
    int checkDevice_ = 0;  // a device replugged quickly whose link must be reading again
    uint64_t checkReads_ = 0;
    Clock::time_point checkAt_;
};

void Soak::Unplug(int device) {
    shared_.plugEpoch[device].fetch_add(1);
    rig_.Backend().Unplug(device);
    rig_.Manager().HandleDeviceNotices();
    collector_.Collect(rig_, device);  // what the link wrote before the device went
    collector_.Resynchronize(device);
    ++unplugs_;
}

void Soak::Plug(int device) {
    rig_.Backend().Plug(device);
    rig_.Manager().HandleDeviceNotices();
    shared_.plugEpoch[device].fetch_add(1);
}

// Out and back in before the user interface thread hears of either: both notices are handled
// together, and the link must still end up on the device's new connection.
void Soak::QuickReplug(int device) {
    shared_.plugEpoch[device].fetch_add(1);
    rig_.Backend().Unplug(device);
    rig_.Backend().Plug(device);
    rig_.Manager().HandleDeviceNotices();
    collector_.Collect(rig_, device);
    collector_.Resynchronize(device);
    shared_.plugEpoch[device].fetch_add(1);
    ++quickReplugs_;
    checkDevice_ = device;
    checkReads_ = rig_.Device(device).ReadCount();
    checkAt_ = Clock::now() + std::chrono::seconds(1);
}

void Soak::CheckRecovery() {
    if (!checkDevice_ || Clock::now() < checkAt_) return;
    if (rig_.Device(checkDevice_).ReadCount() == checkReads_) {
        ++deadAfterQuickReplug_;
        std::printf("t=%.0f s: device %d is not read any more after a quick replug\n", Elapsed(),
                    checkDevice_);
    }
    checkDevice_ = 0;
}

// What the main window does every five minutes and on exit.
void Soak::SaveAll() {
    for (const auto& link : rig_.Manager().list) SaveSettings(*link);
}

int Soak::Run() {
    if (!rig_.AddInterfaces(kDevices)) {
        std::fprintf(stderr, "the interfaces did not start\n");
        return 1;
    }
    SaveAll();
    const std::string savedIni = test::ReadBytes(ProfileFile());
    std::printf("soak: %d interfaces, 16 ports, %.0f s, seed %u, ports in %s\n", kDevices, seconds_,
                seed_, rig_.PortsDirectory().c_str());

    start_ = Clock::now();
    std::vector<std::thread> threads;
    for (int device = 1; device <= kDevices; ++device)
        for (Channel channel : kDataChannels)
            if (IsSteady(device, channel))
                threads.emplace_back(SteadyProgram, std::cref(rig_), std::ref(shared_), device,
                                     channel);
    threads.emplace_back(ChurnPrograms, std::cref(rig_), std::ref(shared_), seed_ + 1);
    threads.emplace_back(ChurnPrograms, std::cref(rig_), std::ref(shared_), seed_ + 2);
    threads.emplace_back(Feeder, std::ref(rig_), std::ref(shared_));

    std::this_thread::sleep_for(std::chrono::seconds(2));  // the programs have their ports
    const Sample start = TakeSample();
    PrintSample("start", start);
    Sample middle{};
    bool middleTaken = false;

    int unplugged = 0;
    auto replugAt = Clock::now();
    auto nextPlugEvent = Clock::now() + std::chrono::seconds(Pick(3, 10));
    auto nextTick = Clock::now();
    auto nextProgress = Clock::now() + std::chrono::seconds(60);
    while (Elapsed() < seconds_) {
        const auto now = Clock::now();
        if (now >= nextTick) {
            nextTick += milliseconds(100);
            rig_.Manager().Tick();  // saves every section every five minutes, as in the program
        }
        if (pollfd p{rig_.Manager().NoticeFd(), POLLIN, 0}; p.fd >= 0 && ::poll(&p, 1, 0) == 1)
            rig_.Manager().HandleDeviceNotices();
        for (int device = 1; device <= kDevices; ++device)
            if (device != unplugged) collector_.Collect(rig_, device);
        if (unplugged && now >= replugAt) {
            Plug(unplugged);
            unplugged = 0;
        } else if (!unplugged && now >= nextPlugEvent) {
            const int device = Pick(1, kDevices);
            if (Pick(0, 3) == 0) {
                QuickReplug(device);
            } else {
                Unplug(device);
                unplugged = device;
                replugAt = now + milliseconds(Pick(300, 3000));
            }
            nextPlugEvent = now + std::chrono::seconds(Pick(3, 12));
        }
        CheckRecovery();
        if (!middleTaken && Elapsed() >= seconds_ / 2) {
            middle = TakeSample();
            middleTaken = true;
            PrintSample("middle", middle);
        }
        if (now >= nextProgress) {
            nextProgress += std::chrono::seconds(60);
            std::printf("t=%4.0f s: fed %llu, programs read %llu, device took %llu, unplugs %llu\n",
                        Elapsed(), static_cast<unsigned long long>(shared_.fedBytes.load()),
                        static_cast<unsigned long long>(shared_.programReadBytes.load()),
                        static_cast<unsigned long long>(collector_.Bytes()),
                        static_cast<unsigned long long>(unplugs_ + quickReplugs_));
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    if (unplugged) Plug(unplugged);
    const Sample end = TakeSample();
    PrintSample("end", end);

    shared_.stop.store(true);
    for (auto& thread : threads) thread.join();
    for (int device = 1; device <= kDevices; ++device) collector_.Collect(rig_, device);
    rig_.Manager().RemoveAll();  // as on exit: ports let go, every section saved
    const bool iniIntact = test::ReadBytes(ProfileFile()) == savedIni;
    Report(start, middle, end, iniIntact);
    return 0;
}

void Soak::Report(const Sample& start, const Sample& middle, const Sample& end, bool iniIntact) {
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    const uint64_t lostToDevice = collector_.Sum(&bench::RecordReader::lostBytes);
    std::printf("\nsummary after %.0f s (no crash)\n", end.seconds);
    std::printf("  device -> program: fed %llu bytes, programs read %llu bytes\n",
                u(shared_.fedBytes.load()), u(shared_.programReadBytes.load()));
    std::printf("  program -> device: programs wrote %llu bytes, devices took %llu bytes\n",
                u(shared_.programWrittenBytes.load()), u(collector_.Bytes()));
    std::printf(
        "  lost on steady ports while plugged: device -> program %llu bytes (reordered %llu, "
        "damaged %llu),"
        " program -> device %llu bytes (reordered %llu, damaged %llu)\n",
        u(shared_.lostToPrograms.load()), u(shared_.reorderedToPrograms.load()),
        u(shared_.damagedToPrograms.load()), u(lostToDevice),
        u(collector_.Sum(&bench::RecordReader::reorderings)),
        u(collector_.Sum(&bench::RecordReader::damagedRecords)));
    std::printf("  unplugs %llu, quick replugs %llu, links dead after a quick replug %llu\n",
                u(unplugs_), u(quickReplugs_), u(deadAfterQuickReplug_));
    std::printf("  churn opens %llu, steady program (re)opens %llu\n", u(shared_.churnOpens.load()),
                u(shared_.steadyReopens.load()));
    std::printf("  core fds start %d, middle %d, end %d\n", start.figures.fds - start.programFds,
                middle.figures.fds - middle.programFds, end.figures.fds - end.programFds);
    std::printf("  VmRSS start %ld kB, middle %ld kB, end %ld kB; VmHWM %ld kB\n",
                start.figures.rssKb, middle.figures.rssKb, end.figures.rssKb, end.figures.hwmKb);
    std::printf("  INI file %s\n",
                iniIntact ? "intact (same bytes as after the first save)" : "CHANGED");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600;
    unsigned seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--seconds=", 0) == 0)
            seconds = std::atof(arg.c_str() + 10);
        else if (arg.rfind("--seed=", 0) == 0)
            seed = static_cast<unsigned>(std::atoi(arg.c_str() + 7));
        else {
            std::fprintf(stderr, "usage: %s [--seconds=S] [--seed=N]\n", argv[0]);
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return Soak(seconds, seed).Run();
}
