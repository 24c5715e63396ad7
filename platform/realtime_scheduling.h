#pragma once
// Real-time scheduling for a thread whose timing matters (a link's worker keys a transmitter):
// SCHED_FIFO when the process may set it itself, otherwise granted by RealtimeKit on the system
// bus, as desktop audio servers get it; without either the thread runs at normal priority.
// Also sets the thread's timer slack to the minimum, so its timers wake it on time.
#include <string>

namespace qx {

enum class Scheduling : int {
    kNotAsked = 0,     // no thread has asked yet
    kNormal = 1,       // both refused (or no bus): normal priority
    kFifo = 2,         // SCHED_FIFO set directly
    kRealtimeKit = 3,  // SCHED_RR granted by RealtimeKit
};

struct SchedulingOutcome {
    Scheduling scheduling = Scheduling::kNotAsked;
    bool minimalTimerSlack = false;
    std::string refusal;  // why real-time was not had: what was tried and its error, "" if it was
};

// For the calling thread; blocks for at most about a second when the bus does not answer.
// The outcome is also kept for LastSchedulingOutcome.
SchedulingOutcome RaiseThreadToRealtime(int priority);
// What the last thread that asked got: the about box shows it.
SchedulingOutcome LastSchedulingOutcome();

}  // namespace qx
