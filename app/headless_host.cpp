#include "app/headless_host.h"

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/instance_queries.h"
#include "app/window_rules.h"
#include "manager/CHVInterfaceManager.h"

namespace qx {
namespace {

constexpr long kTickPeriodNs = 100'000'000;    // the manager's 100 ms tick
constexpr unsigned kTicksBetweenSaves = 3000;  // five minutes

UniqueFd MakeTickTimer() {
    UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    const itimerspec period{{0, kTickPeriodNs}, {0, kTickPeriodNs}};
    if (timer.Valid() && ::timerfd_settime(timer.Get(), 0, &period, nullptr) != 0) timer.Reset();
    return timer;
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
    void OnTick();
    void ServeInstance();
    void End();

    RunningServices& services_;
    CHVInterfaceManager manager_;
    unsigned tickCount_ = 0;
    bool ending_ = false;
};

int HeadlessHost::Run() {
    const UniqueFd timer = MakeTickTimer();
    if (!timer.Valid()) {
        std::fprintf(stderr, "qx-manager: the tick timer cannot be made: %s\n",
                     std::strerror(errno));
        End();
        return 1;
    }
    enum { kSignals, kRequests, kNotices, kTimer, kCount };
    int code = 0;
    while (!ending_) {
        pollfd fds[kCount] = {{services_.termination.Fd(), POLLIN, 0},
                              {services_.instance.Fd(), POLLIN, 0},
                              {manager_.NoticeFd(), POLLIN, 0},
                              {timer.Get(), POLLIN, 0}};
        if (::poll(fds, kCount, -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "qx-manager: poll failed: %s\n", std::strerror(errno));
            code = 1;
            break;
        }
        if (fds[kSignals].revents & POLLIN) {
            services_.termination.Drain();
            break;
        }
        if (fds[kRequests].revents & POLLIN) ServeInstance();
        if (!ending_ && (fds[kNotices].revents & POLLIN)) manager_.HandleDeviceNotices();
        if (!ending_ && (fds[kTimer].revents & POLLIN)) {
            uint64_t expirations = 0;
            if (::read(timer.Get(), &expirations, sizeof expirations) == sizeof expirations)
                OnTick();
        }
    }
    End();
    return code;
}

void HeadlessHost::OnTick() {
    manager_.Tick();
    if (++tickCount_ >= kTicksBetweenSaves) {
        tickCount_ = 0;
        for (const auto& link : manager_.list) SaveSettings(*link);
    }
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
