#include "platform/pty_endpoint.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace qx {
namespace {

std::atomic<uint64_t> nextEndpointId{1};
constexpr int kMaxDiscardReads = 16;

}  // namespace

PtyEndpoint::PtyEndpoint(int epollFd) : epollFd_(epollFd), id_(nextEndpointId.fetch_add(1)) {}

PtyEndpoint::~PtyEndpoint() { Close(); }

bool PtyEndpoint::Open() {
    std::lock_guard lock(mutex_);
    if (pty_) return false;
    pty_ = OpenPtyMaster();
    hasPty_.store(pty_.has_value());
    return pty_.has_value();
}

void PtyEndpoint::Close() {
    std::lock_guard lock(mutex_);
    if (!pty_) return;
    open_.store(false);
    openCount_ = ownOpensPending_ = ownClosesPending_ = 0;
    UpdateInterestLocked();
    pty_.reset();
    hasPty_.store(false);
    ClearBuffersLocked();
}

bool PtyEndpoint::HasPty() const { return hasPty_.load(); }

std::string PtyEndpoint::SlavePath() const {
    std::lock_guard lock(mutex_);
    return pty_ ? pty_->slavePath : std::string();
}

dev_t PtyEndpoint::SlaveDevice() const {
    std::lock_guard lock(mutex_);
    return pty_ ? pty_->slaveDevice : 0;
}

bool PtyEndpoint::Write(const uint8_t* data, size_t count) {
    std::lock_guard lock(mutex_);
    // With no program holding the port there is no one to read the bytes; keeping them would
    // hand them to the next program.
    if (!pty_ || !open_.load()) return false;
    size_t written = 0;
    if (FlushTransmitLocked()) {
        while (written < count) {
            const ssize_t n = ::write(pty_->fd.Get(), data + written, count - written);
            if (n <= 0) break;
            written += static_cast<size_t>(n);
        }
    }
    const size_t kept = transmit_.Push(data + written, count - written);
    const size_t dropped = count - written - kept;
    transmitOverflow_.fetch_add(dropped);
    UpdateInterestLocked();
    return dropped == 0;
}

std::optional<size_t> PtyEndpoint::Read(uint8_t* buffer, size_t maxCount) {
    std::lock_guard lock(mutex_);
    if (!pty_) return std::nullopt;
    const bool wasFull = receive_.Free() == 0;
    const size_t taken = receive_.Pop(buffer, maxCount);
    waiting_.store(receive_.Size());
    if (wasFull && taken > 0) UpdateInterestLocked();
    return taken;
}

std::optional<size_t> PtyEndpoint::BytesWaiting() const {
    if (!hasPty_.load()) return std::nullopt;
    return waiting_.load();
}

std::optional<PtySettings> PtyEndpoint::Settings() const {
    std::lock_guard lock(mutex_);
    if (!pty_) return std::nullopt;
    return ReadPtySettings(pty_->fd.Get());
}

bool PtyEndpoint::Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) {
    return sinks_.Advise(std::move(sink), cookie);
}

void PtyEndpoint::Unadvise(uint32_t cookie) { sinks_.Unadvise(cookie); }

void PtyEndpoint::OnSlaveOpened() {
    Events events;
    {
        std::lock_guard lock(mutex_);
        if (!pty_) return;
        if (ownOpensPending_ > 0) --ownOpensPending_;
        else if (++openCount_ == 1) MarkOpenedLocked(events);
        ReconcileLocked(events);
    }
    Fire(events);
}

void PtyEndpoint::OnSlaveClosed() {
    Events events;
    {
        std::lock_guard lock(mutex_);
        if (!pty_) return;
        if (ownClosesPending_ > 0) --ownClosesPending_;
        else if (openCount_ > 0 && --openCount_ == 0) MarkClosedLocked(events);
        ReconcileLocked(events);
    }
    Fire(events);
}

// Counting notices is misled when a program opens the port while it is being flushed for the
// previous one (its opening is taken for the flush's own). Our own slave descriptor is closed
// again before any notice is read, so a held slave means a program holds the port.
void PtyEndpoint::ReconcileLocked(Events& events) {
    if (open_.load() || PtySlaveHungUp(pty_->fd.Get())) return;
    openCount_ = 1;
    MarkOpenedLocked(events);
}

void PtyEndpoint::OnMasterEvents(uint32_t epollEvents) {
    Events events;
    {
        std::lock_guard lock(mutex_);
        if (!pty_ || !open_.load()) return;
        if (epollEvents & EPOLLIN) ReadMasterLocked(events);
        if (epollEvents & EPOLLOUT) FlushTransmitLocked();
        // A hang-up the slave watch has not reported yet (or lost): nobody holds the slave.
        if ((epollEvents & (EPOLLHUP | EPOLLERR)) && PtySlaveHungUp(pty_->fd.Get()))
            MarkClosedLocked(events);
        else
            UpdateInterestLocked();
    }
    Fire(events);
}

void PtyEndpoint::Resynchronize() {
    Events events;
    {
        std::lock_guard lock(mutex_);
        if (!pty_) return;
        ownOpensPending_ = ownClosesPending_ = 0;
        const bool held = !PtySlaveHungUp(pty_->fd.Get());
        if (held && !open_.load()) {
            openCount_ = 1;
            MarkOpenedLocked(events);
        } else if (!held && open_.load()) {
            MarkClosedLocked(events);
        }
    }
    Fire(events);
}

void PtyEndpoint::ReadMasterLocked(Events& events) {
    // In packet mode every read starts with a status byte: 0 when data follows, otherwise
    // flags such as TIOCPKT_IOCTL (the program changed the settings).
    uint8_t packet[4096];
    while (receive_.Free() > 0) {
        const size_t want = std::min(receive_.Free(), sizeof packet - 1) + 1;
        const ssize_t n = ::read(pty_->fd.Get(), packet, want);
        if (n <= 0) break;  // EAGAIN: drained; EIO: the program is gone (the watch reports it)
        if (packet[0] == TIOCPKT_DATA) {
            // Readiness for a reader that sleeps until bytes arrive; while some wait it keeps reading.
            if (receive_.Empty() && n > 1) events.push_back(kEventBytesWritten);
            receive_.Push(packet + 1, static_cast<size_t>(n) - 1);
            waiting_.store(receive_.Size());
        } else if ((packet[0] & TIOCPKT_IOCTL) &&
                   (events.empty() || events.back() != kEventSettingsChanged)) {
            events.push_back(kEventSettingsChanged);
        }
    }
}

// Hands waiting transmit bytes to the pty; true when none are left waiting.
bool PtyEndpoint::FlushTransmitLocked() {
    while (!transmit_.Empty()) {
        const ssize_t n = ::write(pty_->fd.Get(), transmit_.Front(), transmit_.FrontRun());
        if (n <= 0) return false;
        transmit_.Drop(static_cast<size_t>(n));
    }
    return true;
}

void PtyEndpoint::MarkOpenedLocked(Events& events) {
    open_.store(true);
    UpdateInterestLocked();
    events.push_back(kEventOpened);
}

void PtyEndpoint::MarkClosedLocked(Events& events) {
    openCount_ = 0;
    open_.store(false);
    UpdateInterestLocked();
    // Bytes meant for the program that left never reach the next one.
    transmit_.Clear();
    // A program that opened the port again before this close was seen already holds it and may
    // have set its line and started writing: resetting and flushing now would throw its settings
    // and bytes away (its opening is still to be counted). Only a port nobody holds starts clean.
    const int fd = pty_->fd.Get();
    if (PtySlaveHungUp(fd)) {
        SetRawPtySettings(fd);
        if (FlushPty(fd, pty_->slavePath)) {
            ++ownOpensPending_;
            ++ownClosesPending_;
        }
        // What is left after the flush is a few status bytes; bounded, so a program that opens
        // the port meanwhile and writes at once cannot keep this loop reading its bytes away.
        uint8_t discard[256];
        for (int i = 0; i < kMaxDiscardReads && ::read(fd, discard, sizeof discard) > 0; ++i) {
        }
        receive_.Clear();
    }
    waiting_.store(receive_.Size());
    events.push_back(kEventClosed);
}

void PtyEndpoint::ClearBuffersLocked() {
    receive_.Clear();
    transmit_.Clear();
    waiting_.store(0);
}

// Keeps the master in the epoll set only while a program holds the slave: without one the
// master reports POLLHUP all the time and would wake the watch in a loop. Reading pauses while
// the receive buffer is full, which holds the program's writes back in the pty.
void PtyEndpoint::UpdateInterestLocked() {
    int mask = -1;
    if (pty_ && open_.load()) {
        mask = 0;
        if (receive_.Free() > 0) mask |= EPOLLIN;
        if (!transmit_.Empty()) mask |= EPOLLOUT;
    }
    if (mask == epollMask_) return;
    if (mask < 0) {
        ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, pty_->fd.Get(), nullptr);
        epollMask_ = -1;
        return;
    }
    struct epoll_event ev {};
    ev.events = static_cast<uint32_t>(mask);
    ev.data.u64 = id_;
    ::epoll_ctl(epollFd_, epollMask_ < 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, pty_->fd.Get(), &ev);
    epollMask_ = mask;
}

void PtyEndpoint::Fire(const Events& events) {
    for (int event : events) sinks_.Fire(event);
}

}  // namespace qx
