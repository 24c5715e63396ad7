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
#include "tests/support/fake_port.h"

namespace {

using namespace qx;

void GiveIdlePorts(CHVInterface& link) {
    std::lock_guard lock(link.portGuard);
    for (auto& slot : link.ports) {
        auto port = std::make_unique<test::FakePort>();
        port->State().open = true;  // a program holds it open without sending anything
        slot.instance = std::move(port);
    }
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
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = CpuSeconds() - cpuBefore;
    const uint64_t ticks = device->ReadCount() - ticksBefore;
    link.Close();
    std::printf(
        "running link, idle, four open ports: %.1f s wall, CPU %.2f%% of one core, %.0f ticks/s\n",
        wall, 100.0 * cpu / wall, ticks / wall);
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = 10;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--idle-seconds=", 15) == 0)
            idleSeconds = std::atoi(argv[i] + 15);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MeasureRunningLink(idleSeconds);
    return 0;
}
