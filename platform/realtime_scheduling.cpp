#include "platform/realtime_scheduling.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/thread_annotations.h"

namespace qx {
namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr uint64_t kBusTimeoutMicroseconds = 1000000;
// The bound on real-time CPU time without sleeping (RealtimeKit grants only to processes that
// set one): every thread on the keying road sleeps between changes, so 200 ms without sleeping
// would mean it has gone wrong. Past it the kernel kills the process.
constexpr int64_t kRealtimeCpuMicroseconds = 200000;

Mutex lastGuard;
std::array<SchedulingOutcome, kSchedulingRoleCount> last QX_GUARDED_BY(lastGuard);

// Sets RLIMIT_RTTIME to at most micros, never raising what is set; "" when done.
std::string BoundRealtimeCpu(int64_t micros) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTTIME, &limit) != 0)
        return std::string("RLIMIT_RTTIME: ") + std::strerror(errno);
    const rlim_t bound =
        std::min(limit.rlim_max, static_cast<rlim_t>(std::max<int64_t>(micros, 1)));
    limit = {bound, bound};
    if (::setrlimit(RLIMIT_RTTIME, &limit) != 0)
        return std::string("RLIMIT_RTTIME: ") + std::strerror(errno);
    return "";
}

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;

// The bus error's text, or the errno's when the call failed before reaching the bus.
std::string Describe(const char* what, const sd_bus_error& error, int result) {
    return std::string(what) + ": " +
           (sd_bus_error_is_set(&error) ? error.message : std::strerror(-result));
}

// Asks RealtimeKit to make this thread SCHED_RR at priority, capped at what it grants; "" on
// success, else what failed.
std::string AskRealtimeKit(int priority) {
    sd_bus* raw = nullptr;
    int result = sd_bus_open_system(&raw);
    if (result < 0) return std::string("system bus: ") + std::strerror(-result);
    const Bus bus(raw);
    sd_bus_set_method_call_timeout(bus.get(), kBusTimeoutMicroseconds);

    sd_bus_error error = SD_BUS_ERROR_NULL;
    int32_t maxPriority = 0;
    int64_t maxCpu = 0;
    result = sd_bus_get_property_trivial(bus.get(), kService, kObject, kService,
                                         "MaxRealtimePriority", &error, 'i', &maxPriority);
    if (result >= 0)
        result = sd_bus_get_property_trivial(bus.get(), kService, kObject, kService,
                                             "RTTimeUSecMax", &error, 'x', &maxCpu);
    if (result < 0) {
        std::string text = Describe("RealtimeKit", error, result);
        sd_bus_error_free(&error);
        return text;
    }
    if (std::string bounded = BoundRealtimeCpu(std::min<int64_t>(kRealtimeCpuMicroseconds, maxCpu));
        !bounded.empty())
        return bounded;

    const uint32_t granted =
        static_cast<uint32_t>(std::clamp<int32_t>(priority, 1, std::max(maxPriority, 1)));
    result = sd_bus_call_method(bus.get(), kService, kObject, kService, "MakeThreadRealtime",
                                &error, nullptr, "tu", static_cast<uint64_t>(::gettid()), granted);
    std::string text = result < 0 ? Describe("RealtimeKit MakeThreadRealtime", error, result) : "";
    sd_bus_error_free(&error);
    return text;
}

}  // namespace

int KeyingRealtimePriority() {
    return (::sched_get_priority_min(SCHED_FIFO) + ::sched_get_priority_max(SCHED_FIFO)) / 2;
}

std::string SetBoundedFifo(int priority) {
    if (std::string bounded = BoundRealtimeCpu(kRealtimeCpuMicroseconds); !bounded.empty())
        return bounded;
    sched_param param{};
    param.sched_priority = priority;
    const int fifo = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
    return fifo == 0 ? "" : std::string("SCHED_FIFO: ") + std::strerror(fifo);
}

SchedulingOutcome RaiseThreadToRealtime(int priority, SchedulingRole role) {
    SchedulingOutcome outcome;
    // The kernel lets a thread's timer fire up to its slack late (50 us by default) to batch
    // wake-ups; a worker that sleeps until its deadline wants it on time.
    outcome.minimalTimerSlack = ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;

    const std::string fifo = SetBoundedFifo(priority);
    if (fifo.empty()) {
        outcome.scheduling = Scheduling::kFifo;
    } else {
        const std::string refused = AskRealtimeKit(priority);
        outcome.scheduling = refused.empty() ? Scheduling::kRealtimeKit : Scheduling::kNormal;
        if (!refused.empty()) outcome.refusal = fifo + "; " + refused;
    }
    NoteSchedulingOutcome(role, outcome);
    return outcome;
}

SchedulingOutcome ObservedScheduling(pid_t pid) {
    SchedulingOutcome outcome;
    const int policy = ::sched_getscheduler(pid);
    if (policy < 0) {
        outcome.scheduling = Scheduling::kNormal;
        outcome.refusal = "process " + std::to_string(pid) + ": " + std::strerror(errno);
    } else if (policy == SCHED_FIFO) {
        outcome.scheduling = Scheduling::kFifo;
    } else if (policy == SCHED_RR) {  // what RealtimeKit grants
        outcome.scheduling = Scheduling::kRealtimeKit;
    } else {
        outcome.scheduling = Scheduling::kNormal;
        outcome.refusal = "process " + std::to_string(pid) + " runs at normal priority";
    }
    return outcome;
}

void NoteSchedulingOutcome(SchedulingRole role, const SchedulingOutcome& outcome) {
    MutexLock lock(lastGuard);
    last[static_cast<size_t>(role)] = outcome;
}

SchedulingOutcome LastSchedulingOutcome(SchedulingRole role) {
    MutexLock lock(lastGuard);
    return last[static_cast<size_t>(role)];
}

}  // namespace qx
