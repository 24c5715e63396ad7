// The link's life (Start, worker, Close) and its report channel: keying lines, line tests and
// the data relay between the device's channels and their virtual ports.
#include "link/CHVInterface.h"

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>

#include <time.h>

#include <algorithm>
#include <system_error>

#include "platform/realtime_scheduling.h"
#include "platform/trace.h"

namespace qx {

namespace {

constexpr uint8_t kPttBit = 0x01;
constexpr uint8_t kCwBit = 0x02;
constexpr int kTestTicks = 1000;
// A line change is sent once more when this many ticks have passed since it (21 ticks later).
constexpr int kLineRepeatTicks = 20;

int64_t MonotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The keying lines of a line report as the trace shows them.
const char* LineFlagsText(uint8_t flags) {
    static constexpr const char* kTexts[] = {"PTT(RTS)=0 CW(DTR)=0", "PTT(RTS)=1 CW(DTR)=0",
                                             "PTT(RTS)=0 CW(DTR)=1", "PTT(RTS)=1 CW(DTR)=1"};
    return kTexts[flags & (kPttBit | kCwBit)];
}

}  // namespace

CHVInterface::CHVInterface(HidBackend& hid) : hid_(hid) {}

// A link is closed by the manager before it is destroyed; should that be missed, stopping the
// worker here keeps it from ticking on a destroyed object.
CHVInterface::~CHVInterface() {
    if (worker_.joinable()) Close();
}

bool CHVInterface::OpenDevice(int position, bool ignoreSerialNumbers) {
    if (device_) return false;
    device_ =
        ignoreSerialNumbers ? hid_.OpenPath(devicePath) : hid_.Open(kVendorId, kProductId, &key);
    if (!device_) {
        enumerationPosition = 0;
        return false;
    }
    device_->SetNonblocking(true);
    stopping_.store(false);
    devicePollFd_ = device_->PollFd();
    rtsState_ = 0;
    dtrState_ = 0;
    pttTestCountdown.store(0);
    cwTestCountdown.store(0);
    enumerationPosition = position;
    return true;
}

bool CHVInterface::Start(int position, bool ignoreSerialNumbers) {
    if (!OpenDevice(position, ignoreSerialNumbers)) return false;
    // Unlike a tick's device errors, a link that cannot tick is refused outright rather than
    // reported as started.
    stopEvent_.Reset(::eventfd(0, EFD_CLOEXEC));
    tickTimer_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    bool ready = stopEvent_.Valid() && tickTimer_.Valid() && wake_->Valid();
    if (ready) {
        try {
            worker_ = std::thread([this] { WorkerLoop(); });
        } catch (const std::system_error&) {
            ready = false;
        }
    }
    if (!ready) {
        device_.reset();
        stopEvent_.Reset();
        tickTimer_.Reset();
        enumerationPosition = 0;
    }
    return ready;
}

bool CHVInterface::Close() {
    stopping_.store(true);
    if (worker_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopEvent_.Get(), &one, sizeof one);
        worker_.join();
    }
    if (!device_) return false;
    device_.reset();
    devicePollFd_ = -1;
    stopEvent_.Reset();
    tickTimer_.Reset();
    return true;
}

// Keying lines should reach the device within a tick, so the worker asks for real-time
// scheduling (directly, else through RealtimeKit); refused, it runs at normal priority.
void CHVInterface::RaiseWorkerPriority() {
    RaiseThreadToRealtime(
        (sched_get_priority_min(SCHED_FIFO) + sched_get_priority_max(SCHED_FIFO)) / 2);
}

// The first pass runs a tick after the start; then each pass says when the next is due.
void CHVInterface::WorkerLoop() {
    RaiseWorkerPriority();
    TickClock clock(MonotonicNanoseconds());
    int64_t due = 1;
    for (;;) {
        // When the next tick is due anyway, news waits for it: that pass looks at everything.
        sleeping.store(due == kNoPassDue ? 1 : 0);
        Wakening woken = Sleep(due == kNoPassDue ? 0 : clock.TickTime(due), due > 1);
        sleeping.store(0);
        if (woken == Wakening::kNews && MonotonicNanoseconds() < clock.TickTime(1))
            woken = Sleep(clock.TickTime(1), false);  // never more than one pass per tick
        if (woken == Wakening::kStop) return;
        // Cleared before the pass looks at the work, so news from now on wakes the next sleep.
        wake_->Clear();
        const int64_t now = MonotonicNanoseconds();
        due = ServicePass(woken == Wakening::kTimer ? clock.TimerPass(now) : clock.NewsPass(now));
        servicePasses.fetch_add(1, std::memory_order_relaxed);
    }
}

CHVInterface::Wakening CHVInterface::Sleep(int64_t deadline, bool news) {
    const itimerspec when{{0, 0}, {deadline / 1000000000, deadline % 1000000000}};
    ::timerfd_settime(tickTimer_.Get(), TFD_TIMER_ABSTIME, &when, nullptr);
    pollfd waits[4] = {{stopEvent_.Get(), POLLIN, 0},
                       {tickTimer_.Get(), POLLIN, 0},
                       {wake_->Fd(), POLLIN, 0},
                       {devicePollFd_, POLLIN, 0}};
    const nfds_t count = !news ? 2 : devicePollFd_ >= 0 ? 4 : 3;
    for (;;) {
        if (::poll(waits, count, -1) <= 0) continue;
        if (waits[0].revents & POLLIN) return Wakening::kStop;
        uint64_t expirations = 0;
        if ((waits[1].revents & POLLIN) &&
            ::read(tickTimer_.Get(), &expirations, sizeof expirations) > 0)
            return Wakening::kTimer;
        // A device that is gone stays readable; the manager closes its link soon.
        if (waits[3].revents & (POLLERR | POLLHUP | POLLNVAL)) devicePollFd_ = -1;
        if ((waits[2].revents | waits[3].revents) != 0) return Wakening::kNews;
    }
}

void CHVInterface::StartPttTest() {
    pttTestCountdown.store(kTestTicks);
    Wake();
}

void CHVInterface::StartCwTest() {
    cwTestCountdown.store(kTestTicks);
    Wake();
}

// The value is written before the pending flag so the worker sends it.
void CHVInterface::RequestFskInversion(bool inverted) {
    fskInverted.store(inverted ? 1 : 0);
    fskInversionPending.store(1);
    Wake();
}

std::string CHVInterface::VersionText() const {
    MutexLock lock(versionGuard_);
    return versionText_;
}

void CHVInterface::ServiceTick() { ServicePass(1); }

int64_t CHVInterface::ServicePass(int64_t elapsedTicks) {
    if (!device_) return kNoPassDue;
    const int64_t elapsed = std::max<int64_t>(elapsedTicks, 1);
    int64_t due = kNoPassDue;
    {
        MutexLock lock(portGuard);
        RunLineTest(pttTestCountdown, kPttBit, rtsState_, elapsed);
        RunLineTest(cwTestCountdown, kCwBit, dtrState_, elapsed);
        ServicePttCwPort(elapsed);
        Receive();
        Transmit(kCat);
        Transmit(kFsk);
        Transmit(kWinKey);
        QueueStartupSequence();
        PollSettings(elapsed);
        SendQueuedCommand(elapsed);
        due = NextPassDue();
    }
    WriteOutbox();
    return due;
}

// Once Close has asked the worker to stop, the reports not yet written are dropped, so the
// window waits for the write under way only.
void CHVInterface::WriteOutbox() {
    for (const Report& report : outbox_) {
        if (stopping_.load()) break;
        WriteReport(report);
    }
    outbox_.clear();
}

// Every tick while something counts, a command is queued or bytes wait (the next input report
// is announced by the device's descriptor, unless it has none); otherwise on the tick of the
// next timed rule, if any. An awaited reply alone keeps no tick: it matters only when a queued
// command waits for it, and the reply itself arrives as news.
int64_t CHVInterface::NextPassDue() {
    int64_t due = TicksUntilPoll();
    // The device's input state reaches the program on the pass after the one that read it.
    const bool inputStatePending = pttCwPortOpen_ && inputStateApplied_ != deviceInputState_;
    if (devicePollFd_ < 0 || !startupQueued_ || !commandQueue_.empty() || inputStatePending ||
        pttTestCountdown.load() > 0 || cwTestCountdown.load() > 0 || AnyPortHasBytes())
        return 1;
    if (lineRepeatPending_ && pttCwPortOpen_)
        due = std::min<int64_t>(due, kLineRepeatTicks + 1 - lineRepeatCounter_);
    return due;
}

bool CHVInterface::AnyPortHasBytes() {
    for (Channel channel : {kCat, kFsk, kWinKey}) {
        IVSPortAx* port = OpenPort(channel);
        if (port && port->BytesWaiting().value_or(0) > 0) return true;
    }
    return false;
}

IVSPortAx* CHVInterface::OpenPort(Channel channel) {
    IVSPortAx* port = ports[channel].instance.get();
    return port && port->IsOpen().value_or(false) ? port : nullptr;
}

void CHVInterface::WriteReport(const Report& report) {
    const bool taken =
        device_->Write(report.data(), report.size()) == static_cast<int>(report.size());
    if (taken) {
        reportsWritten.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const uint64_t refused = reportWritesRefused.fetch_add(1, std::memory_order_relaxed) + 1;
    if (TraceOn()) {
        char text[64];
        std::snprintf(text, sizeof text, "report id %d, %llu refused so far", report[0],
                      static_cast<unsigned long long>(refused));
        TraceText(key, "", TraceKind::kRefused, text);
    }
}

void CHVInterface::SendLineReport() {
    Report report{};
    report[0] = kLineReportId;
    report[1] = lineFlags_;
    if (TraceOn())
        TraceText(key, ChannelTitle(kPttCw), TraceKind::kLines, LineFlagsText(lineFlags_));
    Post(report);
}

// A test sets its line on its first tick and clears it on its last unless the port's own line
// holds it. A test requested since the last pass starts with this pass; one running counts all
// the ticks the pass stands for. The decrement only lands if no restart came in meanwhile, so a
// restart is never lost.
void CHVInterface::RunLineTest(std::atomic<int>& countdown, uint8_t bit, int portLineState,
                               int64_t elapsed) {
    int ticksLeft = countdown.load();
    if (ticksLeft <= 0) return;
    const int64_t ticks = ticksLeft == kTestTicks ? 1 : elapsed;
    if (ticksLeft == kTestTicks) {
        lineFlags_ |= bit;
        SendLineReport();
    } else if (ticksLeft <= ticks && portLineState == 0) {
        lineFlags_ &= ~bit;
        SendLineReport();
    }
    countdown.compare_exchange_strong(ticksLeft,
                                      static_cast<int>(std::max<int64_t>(ticksLeft - ticks, 0)));
}

// The repeat counter counts the ticks the port was open: a port opened since the last pass has
// been open for this pass's tick only.
void CHVInterface::ServicePttCwPort(int64_t elapsed) {
    IVSPortAx* port = OpenPort(kPttCw);
    if (!port) {
        if (pttCwPortOpen_) {
            // The program let go of the port: drop CW first, then PTT.
            pttCwPortOpen_ = 0;
            lineFlags_ &= ~kCwBit;
            SendLineReport();
            lineFlags_ &= ~kPttBit;
            SendLineReport();
        }
        return;
    }
    const int64_t ticks = pttCwPortOpen_ ? elapsed : 1;
    const int64_t ticksSinceChange = lineRepeatCounter_ + ticks - 1;
    lineRepeatCounter_ =
        static_cast<int>(std::min<int64_t>(lineRepeatCounter_ + ticks, kLineRepeatTicks));
    if (ticksSinceChange >= kLineRepeatTicks && lineRepeatPending_) {
        lineRepeatCounter_ = 0;
        lineRepeatPending_ = 0;
        SendLineReport();
    }
    pttCwPortOpen_ = 1;
    port->SetInputLine(deviceInputState_ != 0);
    inputStateApplied_ = deviceInputState_;
    const auto dtr = port->GetDtr();
    const auto rts = port->GetRts();
    if (!dtr || !rts) return;  // lines unknown this tick: keep what was sent
    UpdateLine(*dtr ? 1 : 0, dtrState_, kCwBit);
    UpdateLine(*rts ? 1 : 0, rtsState_, kPttBit);
}

void CHVInterface::UpdateLine(int newState, int& storedState, uint8_t bit) {
    if (newState == storedState) return;
    storedState = newState;
    lineRepeatCounter_ = 0;
    lineRepeatPending_ = 1;
    lineFlags_ = newState ? (lineFlags_ | bit) : (lineFlags_ & ~bit);
    SendLineReport();
}

// One input report per tick; the first channel whose report id matches takes it.
void CHVInterface::Receive() {
    Report report{};
    if (device_->Read(report.data(), report.size()) <= 0) return;
    const int id = report[0];
    if (id == kCommandReportId) {
        HandleReply(report);
    } else if (id == reportIds[kCat].load()) {
        DeliverToPort(kCat, report);
    } else if (id == reportIds[kPttCw].load()) {
        const int inputState = (report[1] & 0xFB) == 1 ? 1 : 0;
        if (TraceOn() && inputState != deviceInputState_)
            TraceText(key, ChannelTitle(kPttCw), TraceKind::kInput, inputState ? "CTS=1" : "CTS=0");
        deviceInputState_ = inputState;
    } else if (id == reportIds[kFsk].load()) {
        DeliverToPort(kFsk, report);
    } else if (id == reportIds[kWinKey].load()) {
        DeliverToPort(kWinKey, report);
    }
}

// Bytes for a port no program holds are dropped. A length byte above 62 would point past the
// report, so at most the 62 payload bytes are taken.
void CHVInterface::DeliverToPort(Channel channel, const Report& report) {
    const int count = std::min<int>(report[1], kMaxPayload);
    IVSPortAx* port = count > 0 ? OpenPort(channel) : nullptr;
    if (!port) return;
    if (TraceOn())
        TraceBytes(key, ChannelTitle(channel), TraceKind::kFromDevice, &report[2], count);
    for (int i = 0; i < count; ++i)
        if (!port->WriteToPort(&report[2 + i], 1)) return;
}

void CHVInterface::Transmit(Channel channel) {
    IVSPortAx* port = OpenPort(channel);
    if (!port || port->BytesWaiting().value_or(0) == 0) return;
    Report report{};
    const auto taken = port->ReadFromPort(report.data() + 2, kMaxPayload);
    if (!taken || *taken <= 0) return;
    report[0] = static_cast<uint8_t>(reportIds[channel].load());
    report[1] = static_cast<uint8_t>(std::min(*taken, kMaxPayload));
    if (TraceOn())
        TraceBytes(key, ChannelTitle(channel), TraceKind::kToDevice, &report[2], report[1]);
    Post(report);
}

}  // namespace qx
