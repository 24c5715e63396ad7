// The link's life (Start, worker, Close) and its report channel: keying lines, line tests and
// the data relay between the device's channels and their virtual ports.
#include "link/CHVInterface.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>

#include <time.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/realtime_scheduling.h"
#include "platform/trace.h"

namespace qx {

namespace {

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

Expected<void> CHVInterface::OpenDevice(int position, bool ignoreSerialNumbers) {
    if (device_) return Error{0, "the link's device is open already"};
    Expected<std::unique_ptr<HidDevice>> opened =
        ignoreSerialNumbers ? hid_.OpenPath(devicePath) : hid_.Open(kVendorId, kProductId, &key);
    if (!opened) {
        enumerationPosition = 0;
        return opened.error();
    }
    device_ = std::move(*opened);
    device_->SetNonblocking(true);
    // The Status page and --status show an interface unguarded; the journal says why.
    if (const Expected<void> handed = keyingGuard_.Hand(device_->DuplicateReportFd()); !handed)
        SayDiagnostic(Diagnostic::kKeyingUnguarded, {key, handed.error().message});
    stopping_.store(false);
    passDue_ = 1;
    devicePollFd_ = device_->PollFd();
    lastWriteRefused_ = false;
    rtsState_ = 0;
    dtrState_ = 0;
    pttTestCountdown.store(0);
    cwTestCountdown.store(0);
    enumerationPosition = position;
    return {};
}

// Whatever an earlier run left keyed is let go before anything else: CW off, then PTT off. With
// no line known to be held, each is the all-off report.
void CHVInterface::ReleaseLinesAtStart() {
    lineFlags_ = 0;
    heldLines_ = 0;
    Report off{};
    off[0] = kLineReportId;
    for (int report = 0; report < 2 && !stopping_.load(); ++report) WriteReport(off);
}

Expected<void> CHVInterface::Start(int position, bool ignoreSerialNumbers) {
    if (Expected<void> opened = OpenDevice(position, ignoreSerialNumbers); !opened) return opened;
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
        keyingGuard_.Release();
        device_.reset();
        stopEvent_.Reset();
        tickTimer_.Reset();
        enumerationPosition = 0;
        return Error{0, "the link's worker could not be started"};
    }
    return {};
}

bool CHVInterface::Close() {
    stopping_.store(true);
    if (worker_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopEvent_.Get(), &one, sizeof one);
        worker_.join();
    }
    if (!device_) return false;
    UnkeyBeforeClosing();
    keyingGuard_.Release();
    device_.reset();
    devicePollFd_ = -1;
    stopEvent_.Reset();
    tickTimer_.Reset();
    return true;
}

// Keying lines should reach the device within a tick, so the worker asks for real-time
// scheduling (directly, else through RealtimeKit); refused, it runs at normal priority.
void CHVInterface::RaiseWorkerPriority() {
    RaiseThreadToRealtime(KeyingRealtimePriority(), SchedulingRole::kLinkWorker);
}

// The first pass runs a tick after the start; then each pass says when the next is due.
void CHVInterface::WorkerLoop() {
    RaiseWorkerPriority();
    ReleaseLinesAtStart();
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
        due = ServicePass(clock.Pass(MonotonicNanoseconds()));
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

// A pass late for its due tick counts that tick once (see the header).
int64_t CHVInterface::ServicePass(int64_t elapsedTicks) {
    if (!device_) return kNoPassDue;
    const int64_t counted = std::clamp<int64_t>(elapsedTicks, 1, passDue_);
    {
        MutexLock lock(portGuard);
        CountSleptTicks(counted - 1);
        RunTick();
        passDue_ = NextPassDue();
    }
    WriteOutbox();
    return passDue_;
}

void CHVInterface::CountSleptTicks(int64_t ticks) {
    if (ticks <= 0) return;
    if (pttCwPortOpen_)
        lineRepeatCounter_ =
            static_cast<int>(std::min<int64_t>(lineRepeatCounter_ + ticks, kLineRepeatTicks));
    CountSleptProtocolTicks(ticks);
}

// Every step, with the ports and requests as they are now.
void CHVInterface::RunTick() {
    RunLineTest(pttTestCountdown, kPttBit, rtsState_);
    RunLineTest(cwTestCountdown, kCwBit, dtrState_);
    ServicePttCwPort();
    Receive();
    Transmit(kCat);
    Transmit(kFsk);
    Transmit(kWinKey);
    RunCommandProtocolTick();
}

void CHVInterface::RunCommandProtocolTick() {
    QueueStartupSequence();
    PollSettings();
    SendQueuedCommand();
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

// The worker has ended, so its state is this thread's now. Whatever it last did, the device may
// still hold a line on (a test, a line report dropped with the last pass's outbox, a keying port
// cleared by removal before the worker saw it go), so closing releases, unless the device refused
// the last write: it is stalled or gone, and a release would only wait out the write time-out
// again (twice), holding up the exit.
void CHVInterface::UnkeyBeforeClosing() {
    pttTestCountdown.store(0);
    cwTestCountdown.store(0);
    if (lastWriteRefused_) return;
    outbox_.clear();
    {
        MutexLock lock(portGuard);
        DropLines();
    }
    for (const Report& report : outbox_) WriteReport(report);
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

// Before a line report's write, the device is known to hold only the lines both the old and
// the new flags have (a refused report may still have reached it); after it, the new ones.
void CHVInterface::WriteReport(const Report& report) {
    const bool lines = report[0] == kLineReportId;
    if (lines) {
        heldLines_ &= report[1];
        keyingGuard_.NoteWriting(report[1]);
    }
    lastWriteRefused_ =
        device_->Write(report.data(), report.size()) != static_cast<int>(report.size());
    if (!lastWriteRefused_) {
        if (lines) {
            heldLines_ = report[1];
            keyingGuard_.NoteWritten(report[1]);
        }
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
// holds it. The decrement only lands if no restart came in meanwhile, so a restart is never lost.
void CHVInterface::RunLineTest(std::atomic<int>& countdown, uint8_t bit, int portLineState) {
    int ticksLeft = countdown.load();
    if (ticksLeft <= 0) return;
    if (ticksLeft == kTestTicks) {
        lineFlags_ |= bit;
        SendLineReport();
    } else if (ticksLeft == 1 && portLineState == 0) {
        lineFlags_ &= ~bit;
        SendLineReport();
    }
    countdown.compare_exchange_strong(ticksLeft, ticksLeft - 1);
}

// A port opened since the last pass has been open for this tick only. The lines of a port
// bound with lines from before (its program held it while the interface was away) are taken as
// they are and not sent: only a change its program makes from now on reaches the device.
void CHVInterface::ServicePttCwPort() {
    const bool linesFromBefore = std::exchange(ports[kPttCw].linesFromBefore, false);
    IVSPortAx* port = OpenPort(kPttCw);
    if (!port) {
        if (pttCwPortOpen_) {
            pttCwPortOpen_ = 0;
            DropLines();  // the program let go of the port
            // Its lines are off now: a test's end may release its line, and a program that
            // opens the port with a line raised has it sent.
            rtsState_ = 0;
            dtrState_ = 0;
        }
        return;
    }
    CountLineRepeat();
    pttCwPortOpen_ = 1;
    port->SetInputLine(deviceInputState_ != 0);
    inputStateApplied_ = deviceInputState_;
    const auto dtr = port->GetDtr();
    const auto rts = port->GetRts();
    if (!dtr || !rts) return;  // lines unknown this tick: keep what was sent
    if (linesFromBefore) {
        dtrState_ = *dtr ? 1 : 0;
        rtsState_ = *rts ? 1 : 0;
        return;
    }
    UpdateLine(*dtr ? 1 : 0, dtrState_, kCwBit);
    UpdateLine(*rts ? 1 : 0, rtsState_, kPttBit);
}

// One tick of the open port's repeat counter; the repeat carries the line flags of its tick.
void CHVInterface::CountLineRepeat() {
    const int ticksSinceChange = lineRepeatCounter_;
    lineRepeatCounter_ = std::min(lineRepeatCounter_ + 1, kLineRepeatTicks);
    if (ticksSinceChange >= kLineRepeatTicks && lineRepeatPending_) {
        lineRepeatCounter_ = 0;
        lineRepeatPending_ = 0;
        SendLineReport();
    }
}

// CW first, then PTT, so that a keyer never leaves a carrier up on its way out. The CW-off
// report keeps only a PTT the device is known to hold: a release never sets a line.
void CHVInterface::DropLines() {
    lineFlags_ &= heldLines_ & ~kCwBit;
    SendLineReport();
    lineFlags_ &= ~kPttBit;
    SendLineReport();
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

// Whether the device still holds reports, ready or not (a gone device holds none).
bool CHVInterface::InputWaiting() const {
    pollfd input{devicePollFd_, POLLIN, 0};
    return devicePollFd_ >= 0 && ::poll(&input, 1, 0) == 1 && input.revents == POLLIN;
}

// Bytes for a port no program holds are dropped uncounted. An open port whose program does not
// read fast enough refuses a report whole, as a real port's overrun drops what does not fit:
// never part of one, which would hand the program a damaged answer. A length byte above 62
// would point past the report, so at most the 62 payload bytes are taken.
void CHVInterface::DeliverToPort(Channel channel, const Report& report) {
    const int count = std::min<int>(report[1], kMaxPayload);
    IVSPortAx* port = count > 0 ? OpenPort(channel) : nullptr;
    if (!port) return;
    const bool taken = port->WriteToPort(&report[2], count);
    NoteDelivery(channel, taken, count);
    if (taken && TraceOn())
        TraceBytes(key, ChannelTitle(channel), TraceKind::kFromDevice, &report[2], count);
}

// Counts what a port refused; the trace tells when a run of refused reports begins and ends.
void CHVInterface::NoteDelivery(Channel channel, bool taken, int count) {
    if (!taken) droppedBytes[channel].fetch_add(static_cast<uint64_t>(count));
    if (taken != dropping_[channel]) return;
    dropping_[channel] = !taken;
    const uint64_t total = droppedBytes[channel].load();
    if (!taken) droppedBeforeRun_[channel] = total - static_cast<uint64_t>(count);
    if (!TraceOn()) return;
    char text[64];
    if (taken)
        std::snprintf(text, sizeof text, "stopped: %llu bytes dropped, %llu in all",
                      static_cast<unsigned long long>(total - droppedBeforeRun_[channel]),
                      static_cast<unsigned long long>(total));
    else
        std::snprintf(text, sizeof text, "program not reading: %llu bytes dropped in all",
                      static_cast<unsigned long long>(total));
    TraceText(key, ChannelTitle(channel), TraceKind::kDropped, text);
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
