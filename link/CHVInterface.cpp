// The link's life (Start, worker, Close) and its report channel: keying lines, line tests and
// the data relay between the device's channels and their virtual ports.
#include "link/CHVInterface.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <system_error>

#include "platform/trace.h"

namespace qx {

namespace {

constexpr uint8_t kPttBit = 0x01;
constexpr uint8_t kCwBit = 0x02;
constexpr int kTestTicks = 1000;
// A line change is sent once more when this many ticks have passed since it (21 ticks later).
constexpr int kLineRepeatTicks = 20;
constexpr long kTickNanoseconds = 1000000;

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
    device_ = ignoreSerialNumbers ? hid_.OpenPath(devicePath) : hid_.Open(kVendorId, kProductId, &key);
    if (!device_) {
        enumerationPosition = 0;
        return false;
    }
    device_->SetNonblocking(true);
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
    tickTimer_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
    const itimerspec period{{0, kTickNanoseconds}, {0, kTickNanoseconds}};
    bool ready = stopEvent_.Valid() && tickTimer_.Valid() &&
                 ::timerfd_settime(tickTimer_.Get(), 0, &period, nullptr) == 0;
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
    if (worker_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(stopEvent_.Get(), &one, sizeof one);
        worker_.join();
    }
    if (!device_) return false;
    device_.reset();
    stopEvent_.Reset();
    tickTimer_.Reset();
    return true;
}

// Keying lines should reach the device within a tick, so the worker asks for real-time
// scheduling; an ordinary user is usually refused, and then it runs at normal priority.
void CHVInterface::RaiseWorkerPriority() {
    sched_param param{};
    param.sched_priority = (sched_get_priority_min(SCHED_FIFO) + sched_get_priority_max(SCHED_FIFO)) / 2;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

void CHVInterface::WorkerLoop() {
    RaiseWorkerPriority();
    pollfd waits[2] = {{stopEvent_.Get(), POLLIN, 0}, {tickTimer_.Get(), POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) <= 0) continue;
        if (waits[0].revents & POLLIN) {
            const itimerspec stop{};
            ::timerfd_settime(tickTimer_.Get(), 0, &stop, nullptr);
            return;
        }
        if (waits[1].revents & POLLIN) {
            uint64_t expirations = 0;  // missed periods are not made up
            if (::read(tickTimer_.Get(), &expirations, sizeof expirations) > 0) ServiceTick();
        }
    }
}

void CHVInterface::StartPttTest() { pttTestCountdown.store(kTestTicks); }
void CHVInterface::StartCwTest() { cwTestCountdown.store(kTestTicks); }

std::string CHVInterface::VersionText() const {
    std::lock_guard lock(versionGuard_);
    return versionText_;
}

void CHVInterface::ServiceTick() {
    if (!device_) return;
    std::lock_guard lock(portGuard);
    RunLineTest(pttTestCountdown, kPttBit, rtsState_);
    RunLineTest(cwTestCountdown, kCwBit, dtrState_);
    ServicePttCwPort();
    Receive();
    Transmit(kCat);
    Transmit(kFsk);
    Transmit(kWinKey);
    QueueStartupSequence();
    PollSettings();
    SendQueuedCommand();
}

IVSPortAx* CHVInterface::OpenPort(Channel channel) {
    IVSPortAx* port = ports[channel].instance.get();
    return port && port->IsOpen().value_or(false) ? port : nullptr;
}

void CHVInterface::SendLineReport() {
    Report report{};
    report[0] = kLineReportId;
    report[1] = lineFlags_;
    if (TraceOn()) TraceText(key, ChannelTitle(kPttCw), TraceKind::kLines, LineFlagsText(lineFlags_));
    device_->Write(report.data(), report.size());
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

void CHVInterface::ServicePttCwPort() {
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
    const int ticksSinceChange = lineRepeatCounter_;
    if (lineRepeatCounter_ < kLineRepeatTicks) ++lineRepeatCounter_;  // saturates: no overflow
    if (ticksSinceChange >= kLineRepeatTicks && lineRepeatPending_) {
        lineRepeatCounter_ = 0;
        lineRepeatPending_ = 0;
        SendLineReport();
    }
    pttCwPortOpen_ = 1;
    port->SetInputLine(deviceInputState_ != 0);
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
    if (TraceOn()) TraceBytes(key, ChannelTitle(channel), TraceKind::kFromDevice, &report[2], count);
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
    if (TraceOn()) TraceBytes(key, ChannelTitle(channel), TraceKind::kToDevice, &report[2], report[1]);
    device_->Write(report.data(), report.size());
}

}  // namespace qx
