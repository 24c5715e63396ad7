#pragma once
// The helper's event loop: the clients are served in turn on one thread. A client has a
// deadline to send its request, and each uid may hold only a few connections that have not yet
// sent one, so no user can hold up the requests of others: connections are accepted a few at a
// time between reads, a request is read as soon as it is there (with the connection, or before
// its deadline is judged), and each uid's log lines are bounded, the lines its relays send back
// when they end included; so are its grants. The decision and the grant are one call
// (ServeRequest) once a request has arrived; a grant holds the loop for its waits (the kernel's
// answer to the device's initialisation, its node's appearing, the relay's start), so the next
// client waits that long.
//
// Single-threaded: construct, RunOnce and Run on one thread.
#include <sys/epoll.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <span>
#include <string>

#include "core/error.h"
#include "helper/grant_rate.h"
#include "helper/log_budget.h"
#include "helper/serve_request.h"
#include "platform/fd.h"

namespace qx::helper {

struct ServiceLimits {
    // Connections the kernel holds for accepting. Short, so that a flood of connections queues
    // mostly in connect, where waiters are let in one by one, not by the thousand in front of
    // every later request.
    int backlog = 32;
    std::chrono::milliseconds requestDeadline{1000};
    int pendingPerUid = 8;
    // After accept fails for want of descriptors or memory: the first pause, doubled up to max.
    std::chrono::milliseconds acceptBackoff{50};
    std::chrono::milliseconds acceptBackoffMax{1000};
    int logLinesPerUid = 20;  // a second; the rest are counted
    // Grants to one uid: a program's start with eight interfaces (32 ports) and a restart of it
    // at once, then one each interval.
    int grantBurstPerUid = 64;
    std::chrono::milliseconds grantInterval{500};
};

class ServiceLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Log = std::function<void(const std::string&)>;

    // listener: a bound SOCK_SEQPACKET socket, made non-blocking and listening with the
    // limits' backlog here. now: the clock the deadlines are read on (replaced in tests).
    static Expected<ServiceLoop> Make(int listener, HelperSystem system, ServiceLimits limits,
                                      Log log, std::function<Clock::time_point()> now = Clock::now);

    // Waits up to timeout for events and serves them, then ends connections past their deadline.
    void RunOnce(std::chrono::milliseconds timeout);
    [[noreturn]] void Run();

    size_t PendingConnections() const { return pending_.size(); }
    size_t LiveRelays() const { return relays_.size(); }

private:
    struct Pending {
        UniqueFd socket;
        ucred peer{};
        Clock::time_point deadline;
    };
    // A granted port's relay, until it has said why it ended.
    struct Relay {
        UniqueFd report;
        uid_t uid = 0;
        std::string name;
    };

    ServiceLoop(UniqueFd epoll, int listener, HelperSystem system, ServiceLimits limits, Log log,
                std::function<Clock::time_point()> now);
    void AcceptSome();
    void Admit(UniqueFd socket);
    void PauseAccepting(int error);
    void ResumeAcceptingWhenDue();
    void Receive(int fd);
    Expected<Grant> Serve(int fd, const ucred& peer, std::span<const uint8_t> request);
    void Follow(uid_t uid, Grant grant);
    void HearRelay(int fd);
    void EndExpired();
    void Drop(int fd, const std::string& outcome);
    void Note(uid_t uid, std::string line);
    int TimeoutFor(std::chrono::milliseconds longest) const;

    UniqueFd epoll_;
    int listener_;
    HelperSystem system_;
    ServiceLimits limits_;
    Log log_;
    std::function<Clock::time_point()> now_;
    std::map<int, Pending> pending_;
    std::map<uid_t, int> pendingByUid_;
    std::map<int, Relay> relays_;  // by report descriptor
    LogBudget logBudget_;
    GrantRate grantRate_;
    bool accepting_ = true;
    std::chrono::milliseconds backoff_{0};
    Clock::time_point resumeAccepting_;
};

}  // namespace qx::helper
