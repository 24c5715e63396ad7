#pragma once
// Real-time scheduling for the threads whose timing matters, those on the keying road (a link's
// worker keys a transmitter, a port's thread and the helper's relay hand it the RTS/DTR
// changes): SCHED_FIFO when the process may set it itself, otherwise granted by RealtimeKit on
// the system bus, as desktop audio servers get it; without either the thread runs at normal
// priority. Either way the process's real-time CPU time without sleeping is bounded first
// (RLIMIT_RTTIME), so a thread that runs away is killed instead of taking the machine. Also sets
// the thread's timer slack to the minimum, so its timers wake it on time.
// Any thread may call any function; the outcomes kept are guarded by a lock of their own.
#include <sys/types.h>

#include <string>

namespace qx {

enum class Scheduling : int {
    kNotAsked = 0,     // no thread has asked yet
    kNormal = 1,       // both refused (or no bus): normal priority
    kFifo = 2,         // SCHED_FIFO set directly
    kRealtimeKit = 3,  // SCHED_RR granted by RealtimeKit
};

// Who is on the keying road: the outcome of each is kept apart.
enum class SchedulingRole : int {
    kLinkWorker = 0,  // a link's worker
    kPortThread = 1,  // a keying port's thread in this process (in-process CUSE, or a relay's)
    kRelay = 2,       // the helper's relay process, as seen from this one
};
inline constexpr int kSchedulingRoleCount = 3;

struct SchedulingOutcome {
    Scheduling scheduling = Scheduling::kNotAsked;
    bool minimalTimerSlack = false;
    std::string refusal;  // why real-time was not had: what was tried and its error, "" if it was
};

// The priority every thread on the keying road asks for: the middle of SCHED_FIFO's range (a
// RealtimeKit grant is capped lower).
int KeyingRealtimePriority();

// Bounds the real-time CPU time of the process (never raising a lower bound), then makes the
// calling thread SCHED_FIFO at priority; "" when done, else what failed. The helper calls it in
// a relay before the relay gives up its privileges.
std::string SetBoundedFifo(int priority);

// For the calling thread; blocks for at most about a second when the bus does not answer.
// The outcome is also kept for LastSchedulingOutcome(role).
SchedulingOutcome RaiseThreadToRealtime(int priority,
                                        SchedulingRole role = SchedulingRole::kLinkWorker);
// What the process pid runs at, as another process sees it (its timer slack is not visible).
SchedulingOutcome ObservedScheduling(pid_t pid);
// Keeps an outcome learned otherwise (a relay's, observed).
void NoteSchedulingOutcome(SchedulingRole role, const SchedulingOutcome& outcome);
// What the last thread of that role got: the about box and --status show it.
SchedulingOutcome LastSchedulingOutcome(SchedulingRole role = SchedulingRole::kLinkWorker);

}  // namespace qx
