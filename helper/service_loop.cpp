#include "helper/service_loop.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "helper/port_request.h"
#include "platform/descriptor_setup.h"

namespace qx::helper {
namespace {

constexpr int kMaxEvents = 32;
// Connections taken from the backlog in one pass: a flood of them must not keep the loop from
// the requests of those already taken.
constexpr int kAcceptBatch = 16;

}  // namespace

Expected<ServiceLoop> ServiceLoop::Make(int listener, HelperSystem system, ServiceLimits limits,
                                        Log log, std::function<Clock::time_point()> now) {
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.Valid()) return Error::FromErrno(errno, "creating the event loop");
    if (::listen(listener, limits.backlog) != 0 || !SetNonBlocking(listener) ||
        !WatchInput(epoll.Get(), listener))
        return Error::FromErrno(errno, "listening on the helper's socket");
    return ServiceLoop(std::move(epoll), listener, std::move(system), limits, std::move(log),
                       std::move(now));
}

ServiceLoop::ServiceLoop(UniqueFd epoll, int listener, HelperSystem system, ServiceLimits limits,
                         Log log, std::function<Clock::time_point()> now)
    : epoll_(std::move(epoll)),
      listener_(listener),
      system_(std::move(system)),
      limits_(limits),
      log_(std::move(log)),
      now_(std::move(now)),
      logBudget_(limits.logLinesPerUid),
      grantRate_(limits.grantBurstPerUid, limits.grantInterval) {}

void ServiceLoop::Run() {
    for (;;) RunOnce(limits_.requestDeadline);
}

void ServiceLoop::RunOnce(std::chrono::milliseconds timeout) {
    epoll_event events[kMaxEvents];
    const int count = ::epoll_wait(epoll_.Get(), events, kMaxEvents, TimeoutFor(timeout));
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listener_)
            AcceptSome();
        else if (relays_.contains(fd))
            HearRelay(fd);
        else
            Receive(fd);
    }
    EndExpired();
    ResumeAcceptingWhenDue();
    for (const std::string& line : logBudget_.Ended(now_())) log_(line);
}

// The wait ends no later than the next deadline, the end of an accept pause or the end of a
// second whose held-back lines are to be counted.
int ServiceLoop::TimeoutFor(std::chrono::milliseconds longest) const {
    const Clock::time_point now = now_();
    Clock::time_point until = now + longest;
    for (const auto& [fd, pending] : pending_) until = std::min(until, pending.deadline);
    if (!accepting_) until = std::min(until, resumeAccepting_);
    until = std::min(until, logBudget_.NextEnd());
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

// The listener stays readable while connections wait: the next pass takes more.
void ServiceLoop::AcceptSome() {
    for (int taken = 0; accepting_ && taken < kAcceptBatch; ++taken) {
        UniqueFd socket(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (socket.Valid()) {
            backoff_ = std::chrono::milliseconds(0);
            Admit(std::move(socket));
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        // Short of descriptors or memory, or any other failure: the service never ends over
        // it, and a pause keeps the loop from spinning on a listener that stays readable.
        PauseAccepting(errno);
    }
}

void ServiceLoop::Admit(UniqueFd socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(socket.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        log_(std::string("no peer credentials: ") + std::strerror(errno));
        return;
    }
    const auto held = pendingByUid_.find(peer.uid);
    if (held != pendingByUid_.end() && held->second >= limits_.pendingPerUid)
        return Note(peer.uid, ClientName(peer) +
                                  " closed at once: " + std::to_string(held->second) +
                                  " of its connections are waiting for their request");
    ++pendingByUid_[peer.uid];
    const int fd = socket.Get();
    pending_.emplace(fd, Pending{std::move(socket), peer, now_() + limits_.requestDeadline});
    // Most clients send their request with the connection: served now, not a pass later.
    Receive(fd);
    if (pending_.contains(fd) && !WatchInput(epoll_.Get(), fd))
        Drop(fd, ClientName(peer) + " not served: " + std::strerror(errno));
}

void ServiceLoop::PauseAccepting(int error) {
    backoff_ = std::clamp(backoff_ * 2, limits_.acceptBackoff, limits_.acceptBackoffMax);
    log_(std::string("accept: ") + std::strerror(error) + "; accepting again in " +
         std::to_string(backoff_.count()) + " ms");
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, listener_, nullptr);
    accepting_ = false;
    resumeAccepting_ = now_() + backoff_;
}

void ServiceLoop::ResumeAcceptingWhenDue() {
    if (accepting_ || now_() < resumeAccepting_) return;
    // A failed re-watch is retried after the next pause.
    if (!WatchInput(epoll_.Get(), listener_)) return PauseAccepting(errno);
    accepting_ = true;
}

void ServiceLoop::Receive(int fd) {
    const auto found = pending_.find(fd);
    if (found == pending_.end()) return;
    uint8_t request[kMaxRequestBytes + 1];
    const ssize_t n = ::recv(fd, request, sizeof request, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    const ucred peer = found->second.peer;
    if (n <= 0) return Drop(fd, ClientName(peer) + ": left without a request");
    Expected<Grant> granted = Serve(fd, peer, {request, static_cast<size_t>(n)});
    Drop(fd, ClientName(peer) +
                 (granted ? " granted " + granted->name : " " + granted.error().message));
    if (granted) Follow(peer.uid, std::move(*granted));
}

// Every device made for a uid counts toward its rate, handed over or not.
Expected<Grant> ServiceLoop::Serve(int fd, const ucred& peer, std::span<const uint8_t> request) {
    return ServeRequest(fd, peer, request, system_,
                        [&] { return grantRate_.Take(peer.uid, now_()); });
}

// The relay's last line is written under its user's budget when it comes.
void ServiceLoop::Follow(uid_t uid, Grant grant) {
    const int fd = grant.report.Get();
    if (fd < 0) return;
    if (!WatchInput(epoll_.Get(), fd))
        return Note(uid, "relay for " + grant.name + " not followed: " + std::strerror(errno));
    relays_.emplace(fd, Relay{std::move(grant.report), uid, std::move(grant.name)});
}

void ServiceLoop::HearRelay(int fd) {
    char line[kRelayReportMax];
    const ssize_t n = ::recv(fd, line, sizeof line, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    const auto found = relays_.find(fd);
    const uid_t uid = found->second.uid;
    std::string said = n > 0 ? std::string(line, static_cast<size_t>(n))
                             : "relay for " + found->second.name + " ended without a word (killed)";
    relays_.erase(found);  // closing the socket takes it out of the event loop
    Note(uid, "uid " + std::to_string(uid) + ": " + said);
}

void ServiceLoop::EndExpired() {
    const Clock::time_point now = now_();
    std::vector<int> expired;
    for (const auto& [fd, pending] : pending_)
        if (pending.deadline <= now) expired.push_back(fd);
    for (int fd : expired) {
        // A request that has arrived is served, however late the loop comes to it.
        Receive(fd);
        if (pending_.contains(fd))
            Drop(fd, ClientName(pending_.at(fd).peer) + ": no request within " +
                         std::to_string(limits_.requestDeadline.count()) + " ms, closed");
    }
}

void ServiceLoop::Drop(int fd, const std::string& outcome) {
    const auto found = pending_.find(fd);
    const uid_t uid = found->second.peer.uid;
    if (--pendingByUid_[uid] == 0) pendingByUid_.erase(uid);
    pending_.erase(found);  // closing the socket takes it out of the event loop
    Note(uid, outcome);
}

void ServiceLoop::Note(uid_t uid, std::string line) {
    for (const std::string& written : logBudget_.Pass(uid, std::move(line), now_())) log_(written);
}

}  // namespace qx::helper
