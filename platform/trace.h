#pragma once
// A trace of what the program relays, for finding out why a rig does not answer: bytes both
// ways, keying lines, commands and replies, port opens and closes, settings forwarded.
//
// Threads: any thread may call TraceOn, TraceBytes and TraceText; a link's worker calls them on
// its tick, so they never block and never allocate: an entry goes into a bounded lock-free
// queue, and when the queue is full it is dropped and counted. One TraceSession, made and
// destroyed on the main thread, owns the writer thread that empties the queue to standard
// error and, under systemd, to the journal. With no session, TraceOn is false and the calls
// cost one atomic load at the caller.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace qx {

enum class TraceKind : uint8_t {
    kToDevice,    // bytes a program wrote, on their way to the device
    kFromDevice,  // bytes from the device, on their way to the program
    kLines,       // RTS/DTR sent to the device
    kInput,       // the device's input state (CTS and the like)
    kCommand,     // a command of the command protocol
    kReply,       // its reply
    kOpen,        // a program opened the port (text: the program)
    kClose,       // the port was closed
    kSettings,    // port settings forwarded to the device
    kRefused,     // a report the device did not take (text: how many so far)
    kDropped,     // a port's program stopped or resumed taking bytes (text: bytes dropped)
};

// One entry, fixed in size so the queue never allocates. Longer texts are cut.
struct TraceEntry {
    static constexpr std::size_t kMaxSource = 31;
    static constexpr std::size_t kMaxChannel = 7;
    static constexpr std::size_t kMaxPayload = 64;
    int64_t realtimeNs = 0;
    char source[kMaxSource + 1] = {};    // the interface's serial number
    char channel[kMaxChannel + 1] = {};  // "CAT", "PTT/CW", "FSK", "WinKey", or empty
    TraceKind kind = TraceKind::kToDevice;
    uint8_t length = 0;
    uint8_t payload[kMaxPayload] = {};
};

// Bounded multi-producer, multi-consumer queue of entries (a ring of sequenced cells): a push
// or pop is a few atomic operations and never waits for another thread.
class TraceQueue {
public:
    // capacity is rounded up to a power of two.
    explicit TraceQueue(std::size_t capacity);
    ~TraceQueue();
    TraceQueue(const TraceQueue&) = delete;
    TraceQueue& operator=(const TraceQueue&) = delete;

    // False (and the entry counted as dropped) when the queue is full.
    bool Push(const TraceEntry& entry);
    bool Pop(TraceEntry& entry);
    // How many entries were dropped since the last call.
    uint64_t TakeDropped() { return dropped_.exchange(0, std::memory_order_relaxed); }

private:
    struct Cell;
    std::unique_ptr<Cell[]> cells_;
    std::size_t mask_;
    alignas(64) std::atomic<std::size_t> enqueuePos_{0};
    alignas(64) std::atomic<std::size_t> dequeuePos_{0};
    std::atomic<uint64_t> dropped_{0};
};

namespace trace_detail {
extern std::atomic<TraceQueue*> activeQueue;
void Record(TraceQueue& queue, std::string_view source, std::string_view channel, TraceKind kind,
            const void* data, std::size_t length);
}  // namespace trace_detail

// Whether a trace is being written; callers test it before building what they would trace.
inline bool TraceOn() {
    return trace_detail::activeQueue.load(std::memory_order_relaxed) != nullptr;
}
void TraceBytes(std::string_view source, std::string_view channel, TraceKind kind,
                const uint8_t* bytes, std::size_t length);
void TraceText(std::string_view source, std::string_view channel, TraceKind kind,
               std::string_view text);

// One line of the trace: local time to the microsecond, interface, channel, what, and the
// payload (bytes in hex and as text with unprintables as '.').
std::string FormatTraceLine(const TraceEntry& entry);

// Turns the trace on for its lifetime (one session at a time): the writer thread drains the
// process's queue (4096 entries) every few milliseconds to `out` (standard error in the
// program) and, when asked, to the journal with the interface's serial number in the field
// QXM_SERIAL. The destructor turns the trace off,
// writes what is left and joins the thread.
class TraceSession {
public:
    struct Options {
        std::FILE* out = stderr;  // null: the journal only
        bool journal = false;
    };
    explicit TraceSession(Options options);
    ~TraceSession();
    TraceSession(const TraceSession&) = delete;
    TraceSession& operator=(const TraceSession&) = delete;

    // Empties the queue now (the writer thread does it on its own as well); tests call it to
    // see the lines without waiting.
    void Flush();

private:
    struct Writer;
    std::unique_ptr<Writer> writer_;
};

// True when the trace was asked for: the --trace switch, or QXM_TRACE=1 in the environment.
bool TraceRequested(bool traceSwitch);
// True when this process runs where the systemd journal takes entries.
bool JournalAvailable();
// True when standard error itself flows into the journal (a systemd service), where writing
// the trace to both would show every line twice.
bool StderrIsJournal();
// Writes a warning meant for the user to the journal, where it takes entries and standard
// error does not already flow into it; a notice that a window cannot keep stays findable there.
void WarnInJournal(const std::string& text);

}  // namespace qx
