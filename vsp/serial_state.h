#pragma once
// One emulated serial port as a radio program sees it: its settings (the kernel's termios),
// the RTS/DTR lines the program drives and the CTS input it reads, exclusive mode, the two
// bounded byte queues between the program and the link, and the program's requests that have
// to wait (blocking reads and writes, drains, modem-line waits).
//
// Plain logic without locks or I/O, so that the tty ioctls can be decoded and checked without a
// kernel: the CUSE port serves it under its own lock and turns replies into fuse replies.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qx {

using SerialClock = std::chrono::steady_clock;

// Identifies one request of the program that may wait; the transport's own handle for it.
using SerialRequestId = uint64_t;

// Speed and framing in the codes the port component reports.
struct SerialSettings {
    int baudRate = 0;
    int dataBits = 8;
    int parity = 0;    // ParityCode
    int stopBits = 0;  // StopBitsCode
};

// What to answer a program's request with: now, later (through a SerialCompletion with the
// same id), or after the argument buffers of a pointer ioctl have been fetched.
struct SerialReply {
    enum class Kind { Done, Pending, NeedBuffers };
    Kind kind = Kind::Done;
    int error = 0;              // errno to fail with; 0 = success
    int result = 0;             // an ioctl's return value, or the bytes a write took
    std::vector<uint8_t> data;  // bytes read, or what an ioctl copies back to the program
    size_t inSize = 0;          // NeedBuffers: bytes to fetch from the argument pointer
    size_t outSize = 0;         // NeedBuffers: bytes to return through it

    static SerialReply Error(int error) {
        SerialReply reply;
        reply.error = error;
        return reply;
    }
};

// A waiting request that has now been answered; answer tells which kind of reply it needs.
enum class SerialAnswer { ReadBytes, WriteCount, IoctlResult };
struct SerialCompletion {
    SerialRequestId id = 0;
    SerialAnswer answer = SerialAnswer::IoctlResult;
    SerialReply reply;
};

// The kernel's struct termios2, field by field (the layout is checked where the kernel
// header is included).
struct KernelTermios {
    static constexpr size_t kControlChars = 19;
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t line = 0;
    std::array<uint8_t, kControlChars> cc{};
    uint32_t ispeed = 0;
    uint32_t ospeed = 0;
    bool operator==(const KernelTermios&) const = default;
};

class SerialState {
public:
    static constexpr size_t kDefaultQueueCapacity = 4096;
    // What blocked writers may hold together: two writes of the kernel's largest size. Past it
    // a blocking write is answered as a non-blocking one (what fits, else EAGAIN), so that
    // writers blocked by the thousand cannot make the port's server hold their bytes unbounded.
    static constexpr size_t kMaxWaitingWriteBytes = 2 * 65536;
    explicit SerialState(size_t queueCapacity = kDefaultQueueCapacity);

    // --- the program's side -------------------------------------------------------------
    // opener: the transport's handle of this open file; pid: the opening process.
    // 0, or EBUSY while another opener holds the port in exclusive mode.
    int Open(uint64_t opener, int pid);
    void Release(uint64_t opener);
    SerialReply Read(SerialRequestId id, size_t size, bool nonBlocking,
                     SerialClock::time_point now);
    SerialReply Write(SerialRequestId id, std::span<const uint8_t> bytes, bool nonBlocking);
    // arg: the raw argument (a value for value ioctls); input: the bytes fetched from the
    // argument pointer; outputCapacity: how many bytes may be returned through it; compat: the
    // caller is a 32-bit program, whose arguments have their 32-bit layouts.
    SerialReply Ioctl(SerialRequestId id, unsigned int command, uint64_t arg,
                      std::span<const uint8_t> input, size_t outputCapacity, bool compat = false);
    // A waiting request gives up (signal): it completes with EINTR, or with the bytes a write
    // had already placed. False when no such request waits.
    bool Interrupt(SerialRequestId id);
    bool Readable() const { return !toProgram_.empty(); }
    bool Writable() const { return fromProgram_.size() < capacity_; }

    // --- the link's side ----------------------------------------------------------------
    // Bytes for the program, taken whole or dropped whole when they do not fit (an overrun,
    // counted in buf_overrun); the count taken.
    size_t DeliverToProgram(std::span<const uint8_t> bytes);
    // Takes bytes the program wrote, oldest first.
    size_t TakeFromProgram(std::span<uint8_t> buffer);
    size_t BytesWaiting() const { return fromProgram_.size(); }
    uint64_t DroppedAtClose() const { return droppedAtClose_; }   // see IVSPortAx
    size_t BytesForProgram() const { return toProgram_.size(); }  // delivered, not yet read
    void SetInputLine(bool asserted);
    bool IsOpen() const { return !openers_.empty(); }
    SerialSettings Settings() const;
    bool Rts() const { return rts_; }
    bool Dtr() const { return dtr_; }
    std::optional<int> OpenerPid() const;

    // --- for the transport --------------------------------------------------------------
    std::vector<SerialCompletion> TakeCompletions();
    bool HasCompletions() const { return !completions_.empty(); }
    std::vector<int> TakeEvents();  // PortEvent dispatch ids, oldest first
    std::optional<SerialClock::time_point> NextDeadline() const;
    void ExpireDeadlines(SerialClock::time_point now);
    // The port is going away: every waiting request fails with EIO.
    void AbortWaiting();

    const KernelTermios& Termios() const { return termios_; }

private:
    enum class WaitKind { Read, Write, Drain, LineChange };
    struct Waiter {
        SerialRequestId id = 0;
        WaitKind kind = WaitKind::Read;
        size_t readSize = 0;
        std::vector<uint8_t> unwritten;  // Write: bytes still to place
        int written = 0;                 // Write: bytes already placed
        int lineMask = 0;                // LineChange: TIOCM_* bits waited for
        std::optional<SerialClock::time_point> deadline;

        Waiter(SerialRequestId id, WaitKind kind) : id(id), kind(kind) {}
    };
    struct Opener {
        uint64_t handle = 0;
        int pid = 0;
    };
    struct Counters {
        int cts = 0;
        int rx = 0;
        int tx = 0;
        int bufferOverrun = 0;
    };
    struct SerialInfo {  // what TIOCSSERIAL may change
        int flags = 0;
        int customDivisor = 0;
        int baudBase = 115200;
    };
    struct WindowSize {  // kept for TIOCGWINSZ as a tty keeps it; no terminal draws on it
        uint16_t rows = 0, columns = 0, xPixels = 0, yPixels = 0;
    };

    SerialReply IoctlWithValue(SerialRequestId id, unsigned int command, uint64_t arg);
    SerialReply IoctlWithPointer(unsigned int command, std::span<const uint8_t> input, bool compat);
    SerialReply SetTermios(std::span<const uint8_t> input, bool withSpeeds, bool flushInput);
    // Layout: the caller's struct serial_struct, 64-bit or 32-bit.
    template <class Layout>
    std::vector<uint8_t> SerialInfoBytes() const;
    template <class Layout>
    SerialReply SetSerialInfo(std::span<const uint8_t> input);
    SerialReply SetModemLines(unsigned int command, int bits);
    SerialReply Flush(uint64_t selector);
    SerialReply Park(Waiter waiter);
    void UpdateLines(bool rts, bool dtr);
    void ServeWaiters();
    size_t PushFromProgram(std::span<const uint8_t> bytes);
    std::vector<uint8_t> PopToProgram(size_t max);
    void Complete(const Waiter& waiter, SerialReply reply);
    bool WriterWaiting() const;
    size_t WaitingWriteBytes() const;
    int ModemBits() const;
    int BaudRate() const;
    void NoteRealBaudRate();

    size_t capacity_;
    KernelTermios termios_;
    SerialInfo serialInfo_;
    WindowSize windowSize_;
    int lastRealBaudRate_ = 9600;  // the speed reported: BaudRate() unless that is 0
    std::vector<Opener> openers_;
    std::vector<uint8_t> toProgram_;    // device -> program
    std::vector<uint8_t> fromProgram_;  // program -> device
    std::vector<Waiter> waiters_;       // in arrival order
    std::vector<SerialCompletion> completions_;
    std::vector<int> events_;
    Counters counters_;
    uint64_t droppedAtClose_ = 0;
    bool rts_ = false;
    bool dtr_ = false;
    bool inputLine_ = false;
    bool exclusive_ = false;
};

}  // namespace qx
