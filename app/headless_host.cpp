#include "app/headless_host.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "app/instance_queries.h"
#include "app/string_ids.h"
#include "app/strings.h"
#include "app/window_rules.h"
#include "manager/CHVInterfaceManager.h"

namespace qx {
namespace {

// A line to standard error (the journal of the user service) with the cause of errno.
void Say(int stringId, int error) {
    std::fprintf(stderr, "%s\n",
                 FormatTexts(LoadLocalizedString(stringId), {std::strerror(error)}).c_str());
}

// Sets the one-shot timer to expire at due, on the steady clock (CLOCK_MONOTONIC); a time
// already past expires at once.
bool ArmAt(int timer, CHVInterfaceManager::Clock::time_point due) {
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch());
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(since.count() / 1'000'000'000);
    at.it_value.tv_nsec = static_cast<long>(since.count() % 1'000'000'000);
    if (at.it_value.tv_sec <= 0 && at.it_value.tv_nsec <= 0) at.it_value.tv_nsec = 1;  // 0 disarms
    return ::timerfd_settime(timer, TFD_TIMER_ABSTIME, &at, nullptr) == 0;
}

class HeadlessHost final : public CInterfaceNotificatorHander {
public:
    explicit HeadlessHost(RunningServices& services)
        : services_(services), manager_(services.hid, services.portClass, services.program.Load()) {
        manager_.observer = this;
        manager_.RegisterNotifications();
    }
    ~HeadlessHost() {
        manager_.observer = nullptr;
        for (const auto& link : manager_.list) link->observer = nullptr;
    }
    HeadlessHost(const HeadlessHost&) = delete;
    HeadlessHost& operator=(const HeadlessHost&) = delete;

    int Run();

    int OnPortOperation(int state, int portNumber) override {
        const std::string text = PortOperationBalloonText(
            state, portNumber, services_.program.removePortsOnDeviceRemoval.value);
        if (!text.empty()) {
            std::printf("%s\n", text.c_str());
            std::fflush(stdout);
        }
        return 0;
    }

private:
    void ServeInstance();
    void End();

    RunningServices& services_;
    CHVInterfaceManager manager_;
    bool ending_ = false;
};

// Sleeps until something happens: a signal, a later start's request, a device notice, news of
// the links and ports, or the manager's next timed work; after each, the manager's Tick.
int HeadlessHost::Run() {
    const UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timer.Valid()) {
        Say(kStrTimerNotMade, errno);
        End();
        return 1;
    }
    enum { kSignals, kRequests, kNotices, kNews, kTimer, kCount };
    int code = 0;
    while (!ending_) {
        if (!ArmAt(timer.Get(), manager_.Tick())) {
            Say(kStrTimerNotSet, errno);
            code = 1;
            break;
        }
        pollfd fds[kCount] = {{services_.termination.Fd(), POLLIN, 0},
                              {services_.instance.Fd(), POLLIN, 0},
                              {manager_.NoticeFd(), POLLIN, 0},
                              {manager_.NewsFd(), POLLIN, 0},
                              {timer.Get(), POLLIN, 0}};
        if (::poll(fds, kCount, -1) < 0) {
            if (errno == EINTR) continue;
            Say(kStrWaitFailed, errno);
            code = 1;
            break;
        }
        if (fds[kSignals].revents & POLLIN) {
            services_.termination.Drain();
            break;
        }
        if (fds[kRequests].revents & POLLIN) ServeInstance();
        if (!ending_ && (fds[kNotices].revents & POLLIN)) manager_.HandleDeviceNotices();
        // The news event is cleared by Tick, the timer by being set again.
    }
    End();
    return code;
}

// Show and hide mean nothing without a window; they are answered all the same, so the start
// that sent them ends instead of waiting.
void HeadlessHost::ServeInstance() {
    services_.instance.ServeRequests(
        [this](int code) {
            if (code == kRequestExit) End();
        },
        [this](const std::string& query) {
            return EncodeAnswer(
                AnswerQuery(query, manager_, services_.portClass, services_.program));
        });
}

// Ports released and link settings saved before later starts are let in.
void HeadlessHost::End() {
    if (ending_) return;
    ending_ = true;
    manager_.UnregisterNotifications();
    manager_.RemoveAll();
    services_.instance.StopListening();
}

}  // namespace

int RunHeadless(RunningServices& services) {
    HeadlessHost host(services);
    return host.Run();
}

}  // namespace qx
