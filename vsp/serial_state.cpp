#include "vsp/serial_state.h"

// The kernel's own tty layouts and ioctl numbers. glibc's <termios.h> describes a different
// struct termios, so it must never be included in this translation unit.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>
#include <linux/serial.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/cuse_ioctl_table.h"
#include "vsp/IVSPortAx.h"

namespace qx {
namespace {

static_assert(sizeof(termios2::c_cc) == KernelTermios::kControlChars);

// The programs can only ever wait for this line: the only modem-status input the port has.
constexpr int kInputLineBit = TIOCM_CTS;
constexpr int kWaitableLines = TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS;
constexpr std::chrono::milliseconds kVtimeUnit{100};

// The rate of every Bxxx code of CBAUD; BOTHER (0x1000) has none.
uint32_t RateOfCode(uint32_t code) {
    static constexpr uint32_t kLow[] = {0,   50,   75,   110,  134,  150,  200,   300,
                                        600, 1200, 1800, 2400, 4800, 9600, 19200, 38400};
    static constexpr uint32_t kHigh[] = {0,       57600,   115200,  230400,  460800,  500000,
                                         576000,  921600,  1000000, 1152000, 1500000, 2000000,
                                         2500000, 3000000, 3500000, 4000000};
    return (code & CBAUDEX) ? kHigh[code & 0xF] : kLow[code & 0xF];
}

template <class T>
std::vector<uint8_t> BytesOf(const T& value) {
    std::vector<uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <class T>
T FromBytes(std::span<const uint8_t> bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

template <class Kernel>
void CopyFlags(const Kernel& from, KernelTermios& to) {
    to.iflag = from.c_iflag;
    to.oflag = from.c_oflag;
    to.cflag = from.c_cflag;
    to.lflag = from.c_lflag;
    to.line = from.c_line;
    std::copy(std::begin(from.c_cc), std::end(from.c_cc), to.cc.begin());
}

template <class Kernel>
Kernel ToKernel(const KernelTermios& from) {
    Kernel to{};
    to.c_iflag = from.iflag;
    to.c_oflag = from.oflag;
    to.c_cflag = from.cflag;
    to.c_lflag = from.lflag;
    to.c_line = from.line;
    std::copy_n(from.cc.begin(), std::size(to.c_cc), to.c_cc);
    if constexpr (std::is_same_v<Kernel, termios2>) {
        to.c_ispeed = from.ispeed;
        to.c_ospeed = from.ospeed;
    }
    return to;
}

// Raw 9600 8N1, which is what the port does with the bytes anyway: no echo, no line editing.
KernelTermios InitialTermios() {
    KernelTermios t;
    t.cflag = B9600 | CS8 | CREAD | HUPCL | CLOCAL;
    t.cc[VMIN] = 1;
    t.cc[VTIME] = 0;
    t.ispeed = t.ospeed = 9600;
    return t;
}

SerialReply Success(std::vector<uint8_t> data = {}) {
    SerialReply reply;
    reply.data = std::move(data);
    return reply;
}

SerialReply IntReply(int value) { return Success(BytesOf(value)); }

}  // namespace

SerialState::SerialState(size_t queueCapacity)
    : capacity_(std::max<size_t>(queueCapacity, 1)), termios_(InitialTermios()) {}

// --- opening and closing ---------------------------------------------------------------------

int SerialState::Open(uint64_t opener, int pid) {
    if (exclusive_ && !openers_.empty()) return EBUSY;
    openers_.push_back({opener, pid});
    events_.push_back(kEventOpened);
    return 0;
}

void SerialState::Release(uint64_t opener) {
    auto it = std::find_if(openers_.begin(), openers_.end(),
                           [opener](const Opener& o) { return o.handle == opener; });
    if (it == openers_.end()) return;
    openers_.erase(it);
    if (!openers_.empty()) return;
    // The last program is gone: its keying lines must not stay asserted, and nothing it left
    // behind may reach the next program.
    exclusive_ = false;
    windowSize_ = {};
    UpdateLines(false, false);
    toProgram_.clear();
    droppedAtClose_ += fromProgram_.size();
    fromProgram_.clear();
    AbortWaiting();
    events_.push_back(kEventClosed);
}

std::optional<int> SerialState::OpenerPid() const {
    if (openers_.empty()) return std::nullopt;
    return openers_.front().pid;
}

// --- data ------------------------------------------------------------------------------------

SerialReply SerialState::Read(SerialRequestId id, size_t size, bool nonBlocking,
                              SerialClock::time_point now) {
    if (size == 0) return Success();
    if (!toProgram_.empty()) return Success(PopToProgram(size));
    if (nonBlocking) return SerialReply::Error(EAGAIN);
    const uint8_t vmin = termios_.cc[VMIN];
    const uint8_t vtime = termios_.cc[VTIME];
    if (vmin == 0 && vtime == 0) return Success();  // a polling read
    Waiter waiter(id, WaitKind::Read);
    waiter.readSize = size;
    // With VMIN 0, VTIME bounds the wait; otherwise the read ends with the first bytes.
    if (vmin == 0) waiter.deadline = now + vtime * kVtimeUnit;
    return Park(std::move(waiter));
}

SerialReply SerialState::Write(SerialRequestId id, std::span<const uint8_t> bytes,
                               bool nonBlocking) {
    if (bytes.empty()) return Success();
    // Bytes of an earlier write that is still waiting go first.
    const size_t taken = WriterWaiting() ? 0 : PushFromProgram(bytes);
    const bool mayWait =
        !nonBlocking && WaitingWriteBytes() + (bytes.size() - taken) <= kMaxWaitingWriteBytes;
    if (taken == bytes.size() || (!mayWait && taken > 0)) {
        SerialReply reply;
        reply.result = static_cast<int>(taken);
        return reply;
    }
    if (!mayWait) return SerialReply::Error(EAGAIN);
    Waiter waiter(id, WaitKind::Write);
    waiter.unwritten.assign(bytes.begin() + static_cast<std::ptrdiff_t>(taken), bytes.end());
    waiter.written = static_cast<int>(taken);
    return Park(std::move(waiter));
}

size_t SerialState::DeliverToProgram(std::span<const uint8_t> bytes) {
    const size_t accepted = bytes.size() <= capacity_ - toProgram_.size() ? bytes.size() : 0;
    toProgram_.insert(toProgram_.end(), bytes.begin(),
                      bytes.begin() + static_cast<std::ptrdiff_t>(accepted));
    counters_.rx += static_cast<int>(accepted);
    counters_.bufferOverrun += static_cast<int>(bytes.size() - accepted);
    ServeWaiters();
    return accepted;
}

size_t SerialState::TakeFromProgram(std::span<uint8_t> buffer) {
    const size_t n = std::min(buffer.size(), fromProgram_.size());
    std::copy_n(fromProgram_.begin(), n, buffer.begin());
    fromProgram_.erase(fromProgram_.begin(), fromProgram_.begin() + static_cast<std::ptrdiff_t>(n));
    counters_.tx += static_cast<int>(n);
    ServeWaiters();
    return n;
}

size_t SerialState::PushFromProgram(std::span<const uint8_t> bytes) {
    const size_t n = std::min(bytes.size(), capacity_ - fromProgram_.size());
    // Readiness for a reader that sleeps until bytes arrive; while some wait it keeps reading.
    if (n > 0 && fromProgram_.empty()) events_.push_back(kEventBytesWritten);
    fromProgram_.insert(fromProgram_.end(), bytes.begin(),
                        bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

std::vector<uint8_t> SerialState::PopToProgram(size_t max) {
    const auto n = static_cast<std::ptrdiff_t>(std::min(max, toProgram_.size()));
    std::vector<uint8_t> bytes(toProgram_.begin(), toProgram_.begin() + n);
    toProgram_.erase(toProgram_.begin(), toProgram_.begin() + n);
    return bytes;
}

// --- settings and lines ----------------------------------------------------------------------

int SerialState::BaudRate() const {
    // The old way to ask for an odd rate: B38400 with a custom divisor of the base rate.
    const bool custom = (serialInfo_.flags & ASYNC_SPD_MASK) == ASYNC_SPD_CUST;
    if (custom && serialInfo_.customDivisor > 0 && (termios_.cflag & CBAUD) == B38400)
        return serialInfo_.baudBase / serialInfo_.customDivisor;
    return static_cast<int>(termios_.ospeed);
}

// Speed 0 (B0) is how a program drops the line, not a speed: the last real one stays reported.
void SerialState::NoteRealBaudRate() {
    if (BaudRate() > 0) lastRealBaudRate_ = BaudRate();
}

SerialSettings SerialState::Settings() const {
    const uint32_t cflag = termios_.cflag;
    SerialSettings s;
    s.baudRate = lastRealBaudRate_;
    s.dataBits = 5 + static_cast<int>((cflag & CSIZE) / CS6);
    if (!(cflag & PARENB))
        s.parity = kParityNone;
    else if (cflag & CMSPAR)
        s.parity = (cflag & PARODD) ? kParityMark : kParitySpace;
    else
        s.parity = (cflag & PARODD) ? kParityOdd : kParityEven;
    if (!(cflag & CSTOPB))
        s.stopBits = kStopBitsOne;
    else
        s.stopBits = s.dataBits == 5 ? kStopBitsOnePointFive : kStopBitsTwo;
    return s;
}

void SerialState::SetInputLine(bool asserted) {
    if (asserted == inputLine_) return;
    inputLine_ = asserted;
    ++counters_.cts;
    auto waiting = [](const Waiter& w) {
        return w.kind == WaitKind::LineChange && (w.lineMask & kInputLineBit);
    };
    for (const Waiter& w : waiters_)
        if (waiting(w)) Complete(w, Success());
    std::erase_if(waiters_, waiting);
}

void SerialState::UpdateLines(bool rts, bool dtr) {
    if (rts == rts_ && dtr == dtr_) return;
    rts_ = rts;
    dtr_ = dtr;
    events_.push_back(kEventLinesChanged);
}

int SerialState::ModemBits() const {
    return (rts_ ? TIOCM_RTS : 0) | (dtr_ ? TIOCM_DTR : 0) | (inputLine_ ? kInputLineBit : 0);
}

// --- ioctls ----------------------------------------------------------------------------------

SerialReply SerialState::Ioctl(SerialRequestId id, unsigned int command, uint64_t arg,
                               std::span<const uint8_t> input, size_t outputCapacity, bool compat) {
    const std::optional<CuseIoctlShape> shape = CuseIoctlShapeOf(command, compat);
    if (!shape) return SerialReply::Error(ENOTTY);
    if (!shape->pointer) return IoctlWithValue(id, command, arg);
    if (input.size() < shape->in || outputCapacity < shape->out) {
        // Nothing came along yet: ask for the argument. Something too short: refuse it.
        if (!input.empty() || outputCapacity != 0) return SerialReply::Error(EINVAL);
        SerialReply reply;
        reply.kind = SerialReply::Kind::NeedBuffers;
        reply.inSize = shape->in;
        reply.outSize = shape->out;
        return reply;
    }
    return IoctlWithPointer(command, input, compat);
}

SerialReply SerialState::IoctlWithValue(SerialRequestId id, unsigned int command, uint64_t arg) {
    switch (command) {
    case TCFLSH: return Flush(arg);
    case TCSBRK:
    case TCSBRKP:
        // Waits until the link has taken everything written; a break has no meaning here.
        if (fromProgram_.empty()) return Success();
        return Park(Waiter(id, WaitKind::Drain));
    case TCXONC:
        // Software flow control of a line that has no wire: accepted, nothing to do.
        return arg <= TCION ? Success() : SerialReply::Error(EINVAL);
    case TIOCMIWAIT: {
        Waiter waiter(id, WaitKind::LineChange);
        waiter.lineMask = static_cast<int>(arg) & kWaitableLines;
        return Park(std::move(waiter));
    }
    case TIOCEXCL: exclusive_ = true; return Success();
    case TIOCNXCL: exclusive_ = false; return Success();
    default: return Success();  // TIOCSBRK, TIOCCBRK: no break to send
    }
}

SerialReply SerialState::IoctlWithPointer(unsigned int command, std::span<const uint8_t> input,
                                          bool compat) {
    switch (command) {
    case TCGETS: return Success(BytesOf(ToKernel<termios>(termios_)));
    case TCGETS2: return Success(BytesOf(ToKernel<termios2>(termios_)));
    case TCSETS:
    case TCSETSW: return SetTermios(input, false, false);
    case TCSETSF: return SetTermios(input, false, true);
    case TCSETS2:
    case TCSETSW2: return SetTermios(input, true, false);
    case TCSETSF2: return SetTermios(input, true, true);
    case TIOCMGET: return IntReply(ModemBits());
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: return SetModemLines(command, FromBytes<int>(input));
    case FIONREAD: return IntReply(static_cast<int>(toProgram_.size()));
    case TIOCOUTQ: return IntReply(static_cast<int>(fromProgram_.size()));
    case TIOCGEXCL: return IntReply(exclusive_ ? 1 : 0);
    case TIOCGSERIAL:
        return Success(compat ? SerialInfoBytes<SerialStruct32>()
                              : SerialInfoBytes<serial_struct>());
    case TIOCSSERIAL:
        return compat ? SetSerialInfo<SerialStruct32>(input) : SetSerialInfo<serial_struct>(input);
    case TIOCGICOUNT: {
        serial_icounter_struct counts{};
        counts.cts = counters_.cts;
        counts.rx = counters_.rx;
        counts.tx = counters_.tx;
        counts.buf_overrun = counters_.bufferOverrun;
        return Success(BytesOf(counts));
    }
    case TIOCGWINSZ:
        static_assert(sizeof windowSize_ == sizeof(winsize));
        return Success(BytesOf(windowSize_));
    case TIOCSWINSZ: windowSize_ = FromBytes<WindowSize>(input); return Success();
    default: return SerialReply::Error(ENOTTY);
    }
}

SerialReply SerialState::SetTermios(std::span<const uint8_t> input, bool withSpeeds,
                                    bool flushInput) {
    if (flushInput) toProgram_.clear();
    const KernelTermios before = termios_;
    KernelTermios next = termios_;  // the old layout carries no speeds: the current ones stay
    if (withSpeeds) {
        const auto t = FromBytes<termios2>(input);
        CopyFlags(t, next);
        next.ispeed = t.c_ispeed;
        next.ospeed = t.c_ospeed;
    } else {
        CopyFlags(FromBytes<termios>(input), next);
    }
    const uint32_t outCode = next.cflag & CBAUD;
    const uint32_t inCode = (next.cflag >> IBSHIFT) & CBAUD;
    if (outCode != BOTHER) next.ospeed = RateOfCode(outCode);
    if (inCode == B0)
        next.ispeed = next.ospeed;  // no input rate of its own: the same as output
    else if (inCode != BOTHER)
        next.ispeed = RateOfCode(inCode);
    termios_ = next;
    NoteRealBaudRate();
    if (!(termios_ == before)) events_.push_back(kEventSettingsChanged);
    return Success();
}

template <class Layout>
std::vector<uint8_t> SerialState::SerialInfoBytes() const {
    Layout info{};
    info.type = PORT_16550A;
    info.xmit_fifo_size = 16;
    info.flags = serialInfo_.flags;
    info.custom_divisor = serialInfo_.customDivisor;
    info.baud_base = serialInfo_.baudBase;
    info.close_delay = 50;     // centiseconds, the kernel's default
    info.closing_wait = 3000;  // centiseconds, the kernel's default
    return BytesOf(info);
}

template <class Layout>
SerialReply SerialState::SetSerialInfo(std::span<const uint8_t> input) {
    const auto info = FromBytes<Layout>(input);
    if (info.custom_divisor < 0 || info.baud_base < 0) return SerialReply::Error(EINVAL);
    const int before = BaudRate();
    // Only what a user may change on a real port: the speed and latency flags, the divisor.
    serialInfo_.flags = (serialInfo_.flags & ~ASYNC_USR_MASK) | (info.flags & ASYNC_USR_MASK);
    serialInfo_.customDivisor = info.custom_divisor;
    if (info.baud_base > 0) serialInfo_.baudBase = info.baud_base;
    NoteRealBaudRate();
    if (BaudRate() != before) events_.push_back(kEventSettingsChanged);
    return Success();
}

SerialReply SerialState::SetModemLines(unsigned int command, int bits) {
    const bool rts = bits & TIOCM_RTS;
    const bool dtr = bits & TIOCM_DTR;
    switch (command) {
    case TIOCMSET: UpdateLines(rts, dtr); break;
    case TIOCMBIS: UpdateLines(rts_ || rts, dtr_ || dtr); break;
    default: UpdateLines(rts_ && !rts, dtr_ && !dtr); break;  // TIOCMBIC
    }
    return Success();
}

SerialReply SerialState::Flush(uint64_t selector) {
    if (selector > TCIOFLUSH) return SerialReply::Error(EINVAL);
    if (selector == TCIFLUSH || selector == TCIOFLUSH) toProgram_.clear();
    if (selector == TCOFLUSH || selector == TCIOFLUSH) {
        fromProgram_.clear();
        ServeWaiters();
    }
    return Success();
}

// --- waiting requests ------------------------------------------------------------------------

SerialReply SerialState::Park(Waiter waiter) {
    waiters_.push_back(std::move(waiter));
    SerialReply reply;
    reply.kind = SerialReply::Kind::Pending;
    return reply;
}

bool SerialState::WriterWaiting() const {
    return std::any_of(waiters_.begin(), waiters_.end(),
                       [](const Waiter& w) { return w.kind == WaitKind::Write; });
}

size_t SerialState::WaitingWriteBytes() const {
    size_t held = 0;
    for (const Waiter& w : waiters_) held += w.unwritten.size();
    return held;
}

void SerialState::ServeWaiters() {
    for (auto it = waiters_.begin(); it != waiters_.end();) {
        bool done = false;
        switch (it->kind) {
        case WaitKind::Read:
            if (!toProgram_.empty()) {
                Complete(*it, Success(PopToProgram(it->readSize)));
                done = true;
            }
            break;
        case WaitKind::Write: {
            const size_t n = PushFromProgram(it->unwritten);
            it->unwritten.erase(it->unwritten.begin(),
                                it->unwritten.begin() + static_cast<std::ptrdiff_t>(n));
            it->written += static_cast<int>(n);
            if (it->unwritten.empty()) {
                SerialReply reply;
                reply.result = it->written;
                Complete(*it, std::move(reply));
                done = true;
            }
            break;
        }
        case WaitKind::Drain:
            if (fromProgram_.empty()) {
                Complete(*it, Success());
                done = true;
            }
            break;
        case WaitKind::LineChange: break;
        }
        it = done ? waiters_.erase(it) : it + 1;
    }
}

bool SerialState::Interrupt(SerialRequestId id) {
    auto it = std::find_if(waiters_.begin(), waiters_.end(),
                           [id](const Waiter& w) { return w.id == id; });
    if (it == waiters_.end()) return false;
    // A write that already placed bytes reports them, as a tty write does when interrupted.
    SerialReply reply = SerialReply::Error(EINTR);
    if (it->kind == WaitKind::Write && it->written > 0) {
        reply = Success();
        reply.result = it->written;
    }
    Complete(*it, std::move(reply));
    waiters_.erase(it);
    return true;
}

std::optional<SerialClock::time_point> SerialState::NextDeadline() const {
    std::optional<SerialClock::time_point> next;
    for (const Waiter& w : waiters_)
        if (w.deadline && (!next || *w.deadline < *next)) next = w.deadline;
    return next;
}

void SerialState::ExpireDeadlines(SerialClock::time_point now) {
    auto expired = [now](const Waiter& w) { return w.deadline && *w.deadline <= now; };
    for (const Waiter& w : waiters_)
        if (expired(w)) Complete(w, Success());  // a timed read ends empty
    std::erase_if(waiters_, expired);
}

void SerialState::AbortWaiting() {
    for (const Waiter& w : waiters_) Complete(w, SerialReply::Error(EIO));
    waiters_.clear();
}

void SerialState::Complete(const Waiter& waiter, SerialReply reply) {
    SerialAnswer answer = SerialAnswer::IoctlResult;
    if (waiter.kind == WaitKind::Read) answer = SerialAnswer::ReadBytes;
    if (waiter.kind == WaitKind::Write) answer = SerialAnswer::WriteCount;
    completions_.push_back({waiter.id, answer, std::move(reply)});
}

std::vector<SerialCompletion> SerialState::TakeCompletions() {
    return std::exchange(completions_, {});
}

std::vector<int> SerialState::TakeEvents() { return std::exchange(events_, {}); }

}  // namespace qx
