// Cost of one idle link tick, and the CPU one running link uses while idle.
//   link_tick_bench [--idle-seconds=N] [benchmark options]
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "link/CHVInterface.h"
#include "sim/sim_hid_backend.h"

namespace {

using namespace qx;

// A port a program holds open without sending anything: the idle case of every channel.
class IdlePort final : public IVSPortAx {
public:
    bool CreatePort(const std::string&) override { return true; }
    void DeletePort() override {}
    bool WriteToPort(const uint8_t*, int) override { return true; }
    std::optional<int> ReadFromPort(uint8_t*, int) override { return 0; }
    std::optional<bool> IsOpen() override { return true; }
    std::optional<int> BytesWaiting() override { return 0; }
    void DeleteAllPorts() override {}
    bool ReusePort(const std::string&) override { return true; }
    bool SetInputLine(bool) override { return true; }
    void SetCreationFlag(bool) override {}
    std::optional<int> GetParity() override { return kParityNone; }
    std::optional<int> GetStopBits() override { return kStopBitsOne; }
    std::optional<int> GetDataBits() override { return 8; }
    std::optional<int> GetBaudRate() override { return 9600; }
    std::optional<std::string> GetOpenerPath() override { return "/usr/bin/rig"; }
    std::optional<bool> GetRts() override { return false; }
    std::optional<bool> GetDtr() override { return false; }
    bool Advise(std::shared_ptr<IVSPortAxEvents>, uint32_t&) override { return true; }
    void Unadvise(uint32_t) override {}
};

void GiveIdlePorts(CHVInterface& link) {
    std::lock_guard lock(link.portGuard);
    for (auto& slot : link.ports) slot.instance = std::make_unique<IdlePort>();
}

void BM_IdleServiceTick(benchmark::State& state) {
    SimHidBackend backend(1);
    CHVInterface link(backend);
    link.key = SimSerialNumber(1);
    link.OpenDevice(0, false);
    GiveIdlePorts(link);
    for (int i = 0; i < 2000; ++i) link.ServiceTick();  // past start-up and the first poll
    for (auto _ : state) link.ServiceTick();
    link.Close();
}
BENCHMARK(BM_IdleServiceTick);

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The process does nothing else meanwhile, so its CPU time is the worker's.
void MeasureRunningLink(int seconds) {
    SimHidBackend backend(1);
    CHVInterface link(backend);
    link.key = SimSerialNumber(1);
    GiveIdlePorts(link);
    if (!link.Start(0, false)) {
        std::printf("running link: could not start\n");
        return;
    }
    const auto device = backend.Device(1);
    const double cpuBefore = CpuSeconds();
    const uint64_t ticksBefore = device->ReadCount();
    const auto wallBefore = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = CpuSeconds() - cpuBefore;
    const uint64_t ticks = device->ReadCount() - ticksBefore;
    link.Close();
    std::printf("running link, idle, four open ports: %.1f s wall, CPU %.2f%% of one core, %.0f ticks/s\n",
                wall, 100.0 * cpu / wall, ticks / wall);
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = 10;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--idle-seconds=", 15) == 0) idleSeconds = std::atoi(argv[i] + 15);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MeasureRunningLink(idleSeconds);
    return 0;
}
