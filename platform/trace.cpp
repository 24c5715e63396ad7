#include "platform/trace.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "core/thread_annotations.h"

namespace qx {

struct TraceQueue::Cell {
    std::atomic<std::size_t> sequence;
    TraceEntry entry;
};

TraceQueue::TraceQueue(std::size_t capacity)
    : cells_(std::make_unique<Cell[]>(std::bit_ceil(std::max<std::size_t>(capacity, 2)))),
      mask_(std::bit_ceil(std::max<std::size_t>(capacity, 2)) - 1) {
    for (std::size_t i = 0; i <= mask_; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
}

TraceQueue::~TraceQueue() = default;

// A cell is free for the producer whose position equals its sequence, and holds an entry for
// the consumer whose position is one less than its sequence.
bool TraceQueue::Push(const TraceEntry& entry) {
    std::size_t pos = enqueuePos_.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells_[pos & mask_];
        const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
        const auto difference = static_cast<std::ptrdiff_t>(sequence - pos);
        if (difference == 0) {
            if (enqueuePos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                cell.entry = entry;
                cell.sequence.store(pos + 1, std::memory_order_release);
                return true;
            }
        } else if (difference < 0) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        } else {
            pos = enqueuePos_.load(std::memory_order_relaxed);
        }
    }
}

bool TraceQueue::Pop(TraceEntry& entry) {
    std::size_t pos = dequeuePos_.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells_[pos & mask_];
        const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
        const auto difference = static_cast<std::ptrdiff_t>(sequence - (pos + 1));
        if (difference == 0) {
            if (dequeuePos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                entry = cell.entry;
                cell.sequence.store(pos + mask_ + 1, std::memory_order_release);
                return true;
            }
        } else if (difference < 0) {
            return false;
        } else {
            pos = dequeuePos_.load(std::memory_order_relaxed);
        }
    }
}

namespace trace_detail {

std::atomic<TraceQueue*> activeQueue{nullptr};

namespace {
template <std::size_t N>
void CopyCut(char (&target)[N], std::string_view text) {
    const std::size_t count = std::min(text.size(), N - 1);
    std::memcpy(target, text.data(), count);
    target[count] = '\0';
}
}  // namespace

void Record(TraceQueue& queue, std::string_view source, std::string_view channel, TraceKind kind,
            const void* data, std::size_t length) {
    TraceEntry entry;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    entry.realtimeNs = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
    CopyCut(entry.source, source);
    CopyCut(entry.channel, channel);
    entry.kind = kind;
    entry.length = static_cast<uint8_t>(std::min(length, TraceEntry::kMaxPayload));
    if (entry.length > 0) std::memcpy(entry.payload, data, entry.length);
    queue.Push(entry);
}

}  // namespace trace_detail

void TraceBytes(std::string_view source, std::string_view channel, TraceKind kind,
                const uint8_t* bytes, std::size_t length) {
    if (TraceQueue* queue = trace_detail::activeQueue.load(std::memory_order_acquire))
        trace_detail::Record(*queue, source, channel, kind, bytes, length);
}

void TraceText(std::string_view source, std::string_view channel, TraceKind kind,
               std::string_view text) {
    TraceBytes(source, channel, kind, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

namespace {

const char* KindLabel(TraceKind kind) {
    switch (kind) {
    case TraceKind::kToDevice: return "program->device";
    case TraceKind::kFromDevice: return "device->program";
    case TraceKind::kLines: return "lines";
    case TraceKind::kInput: return "input";
    case TraceKind::kCommand: return "command";
    case TraceKind::kReply: return "reply";
    case TraceKind::kOpen: return "open";
    case TraceKind::kClose: return "close";
    case TraceKind::kSettings: return "settings";
    case TraceKind::kRefused: return "write refused";
    case TraceKind::kDropped: return "dropped";
    }
    return "?";
}

bool CarriesBytes(TraceKind kind) {
    return kind == TraceKind::kToDevice || kind == TraceKind::kFromDevice;
}

char Printable(uint8_t byte) { return byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.'; }

std::string FormatTime(int64_t realtimeNs) {
    const time_t seconds = static_cast<time_t>(realtimeNs / 1'000'000'000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(realtimeNs % 1'000'000'000 / 1000));
    return text;
}

}  // namespace

std::string FormatTraceLine(const TraceEntry& entry) {
    char head[96];
    std::snprintf(head, sizeof head, " %s %-6s %-15s ", entry.source, entry.channel,
                  KindLabel(entry.kind));
    std::string line = FormatTime(entry.realtimeNs) + head;
    if (CarriesBytes(entry.kind)) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        for (uint8_t i = 0; i < entry.length; ++i) {
            line += kHex[entry.payload[i] >> 4];
            line += kHex[entry.payload[i] & 0xf];
            line += ' ';
        }
        line += '|';
        for (uint8_t i = 0; i < entry.length; ++i) line += Printable(entry.payload[i]);
        line += '|';
    } else {
        for (uint8_t i = 0; i < entry.length; ++i) line += Printable(entry.payload[i]);
    }
    return line;
}

namespace {

// The queue outlives every session, so a worker that read the queue's address just before a
// session ended pushes into memory that is still there (the entry is simply never written).
TraceQueue& ProcessQueue() {
    static TraceQueue queue(4096);
    return queue;
}

}  // namespace

struct TraceSession::Writer {
    Options options;
    TraceQueue& queue = ProcessQueue();
    Mutex drainGuard;  // one drain at a time, so lines keep their order
    Mutex wakeGuard;
    CondVar wake;
    bool stopping QX_GUARDED_BY(wakeGuard) = false;
    std::thread thread;

    explicit Writer(Options chosen) : options(chosen) {}

    void Emit(const TraceEntry& entry) {
        const std::string line = FormatTraceLine(entry);
        if (options.out) std::fprintf(options.out, "%s\n", line.c_str());
        if (options.journal) {
            sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=7", "QXM_SERIAL=%s", entry.source,
                            "QXM_CHANNEL=%s", entry.channel, "SYSLOG_IDENTIFIER=qx-manager",
                            nullptr);
        }
    }

    void Drain() {
        MutexLock lock(drainGuard);
        TraceEntry entry;
        while (queue.Pop(entry)) Emit(entry);
        if (const uint64_t dropped = queue.TakeDropped()) {
            char text[80];
            std::snprintf(text, sizeof text, "trace: %llu entries dropped (the writer fell behind)",
                          static_cast<unsigned long long>(dropped));
            if (options.out) std::fprintf(options.out, "%s\n", text);
            if (options.journal)
                sd_journal_send("MESSAGE=%s", text, "PRIORITY=4", "SYSLOG_IDENTIFIER=qx-manager",
                                nullptr);
        }
        if (options.out) std::fflush(options.out);
    }

    // Wakes every few milliseconds rather than on each entry, so a tracing worker makes no
    // system call to hand over an entry.
    void Run() {
        while (!WaitForStop()) Drain();
    }

    // Waits a few milliseconds unless the session is ending; true when it is.
    bool WaitForStop() {
        MutexLock lock(wakeGuard);
        if (!stopping)
            wake.WaitUntil(wakeGuard,
                           std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
        return stopping;
    }
};

TraceSession::TraceSession(Options options) : writer_(std::make_unique<Writer>(options)) {
    writer_->thread = std::thread([this] { writer_->Run(); });
    trace_detail::activeQueue.store(&writer_->queue, std::memory_order_release);
}

TraceSession::~TraceSession() {
    trace_detail::activeQueue.store(nullptr, std::memory_order_release);
    {
        MutexLock lock(writer_->wakeGuard);
        writer_->stopping = true;
    }
    writer_->wake.NotifyOne();
    writer_->thread.join();
    writer_->Drain();
}

void TraceSession::Flush() { writer_->Drain(); }

bool TraceRequested(bool traceSwitch) {
    const char* variable = std::getenv("QXM_TRACE");
    return traceSwitch || (variable != nullptr && std::string_view(variable) == "1");
}

bool JournalAvailable() {
    return sd_booted() > 0 && access("/run/systemd/journal/socket", W_OK) == 0;
}

bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat info {};
    return ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void WarnInJournal(const std::string& text) {
    if (JournalAvailable() && !StderrIsJournal())
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=4", "SYSLOG_IDENTIFIER=qx-manager",
                        nullptr);
}

}  // namespace qx
