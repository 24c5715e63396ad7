#include "vsp/pty_endpoint.h"

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/diagnostics.h"
#include "platform/port_links.h"
#include "vsp/pty_watch.h"

namespace qx {
namespace {

std::atomic<uint64_t> nextEndpointId{1};
constexpr int kMaxDiscardReads = 16;

// Reads away what the master holds after a flush, a few status bytes; bounded, so a program that
// opens the port meanwhile and writes at once cannot keep it reading its bytes away. The count
// of data bytes among them, which no program will see.
uint64_t DiscardUnread(int masterFd) {
    uint8_t packet[256];
    uint64_t data = 0;
    for (int i = 0; i < kMaxDiscardReads; ++i) {
        const ssize_t n = ::read(masterFd, packet, sizeof packet);
        if (n <= 0) break;
        if (packet[0] == TIOCPKT_DATA) data += static_cast<uint64_t>(n - 1);
    }
    return data;
}

// Where a name points once its port is let go: inside devpts, where no such node can ever
// exist, so a program opening the name fails as with an absent device.
constexpr const char* kLetGoTarget = "/dev/pts/let-go";

}  // namespace

PtyEndpoint::PtyEndpoint(PtyWatch& watch)
    : watch_(watch), epollFd_(watch.EpollFd()), id_(nextEndpointId.fetch_add(1)) {}

PtyEndpoint::~PtyEndpoint() {
    MutexLock lock(mutex_);
    CloseLocked(NameFate::kLetGo);
}

Expected<void> PtyEndpoint::Open(const std::string& namePath, const LinkFn& link) {
    MutexLock lock(mutex_);
    if (pty_) return Error{0, "the port is published as " + namePath_ + " already"};
    Expected<PtyMaster> opened = OpenPtyMaster();
    if (!opened) return opened.error();
    pty_ = std::move(*opened);
    hasPty_.store(true);
    Expected<void> named = watch_.Add(shared_from_this(), pty_->slavePath);
    if (named) named = link(namePath, pty_->nameTarget);
    if (!named) {
        CloseLocked(NameFate::kRemoved);
        return named;
    }
    namePath_ = namePath;
    return {};
}

void PtyEndpoint::Close(NameFate fate) {
    MutexLock lock(mutex_);
    CloseLocked(fate);
}

// The name is settled before the slave's handle closes: its number may be reused at once.
void PtyEndpoint::CloseLocked(NameFate fate) {
    if (!pty_) return;
    if (!namePath_.empty() && ReadLinkTarget(namePath_) == pty_->nameTarget) {
        if (fate == NameFate::kLetGo)
            ReplaceLink(namePath_, kLetGoTarget);
        else
            ::unlink(namePath_.c_str());
    }
    namePath_.clear();
    watch_.Remove(id_);
    open_.store(false);
    settingsSilent_.store(false);
    openCount_ = ownOpensPending_ = ownClosesPending_ = 0;
    UpdateInterestLocked();
    pty_.reset();
    hasPty_.store(false);
    seenSettings_.reset();
    lastRealBaudRate_ = kRawPtyBaudRate;
    ClearBuffersLocked();
}

bool PtyEndpoint::HasPty() const { return hasPty_.load(); }

std::string PtyEndpoint::NamePath() const {
    MutexLock lock(mutex_);
    return namePath_;
}

DeviceNode PtyEndpoint::SlaveNode() const {
    MutexLock lock(mutex_);
    return pty_ ? pty_->slaveNode : DeviceNode{};
}

int PtyEndpoint::SlaveHandle() const {
    MutexLock lock(mutex_);
    return pty_ ? pty_->slaveHandle.Get() : -1;
}

bool PtyEndpoint::Write(const uint8_t* data, size_t count) {
    MutexLock lock(mutex_);
    // With no program holding the port there is no one to read the bytes; keeping them would
    // hand them to the next program.
    if (!pty_ || !open_.load()) return false;
    const bool flushed = FlushTransmitLocked();
    // Whole or not at all: what the pty does not take at once must fit the transmit buffer.
    if (count > transmit_.Free()) {
        transmitOverflow_.fetch_add(count);
        return false;
    }
    size_t written = 0;
    while (flushed && written < count) {
        const ssize_t n = ::write(pty_->fd.Get(), data + written, count - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    transmit_.Push(data + written, count - written);
    UpdateInterestLocked();
    return true;
}

std::optional<size_t> PtyEndpoint::Read(uint8_t* buffer, size_t maxCount) {
    MutexLock lock(mutex_);
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

std::optional<PtySettings> PtyEndpoint::Settings() {
    MutexLock lock(mutex_);
    if (!pty_) return std::nullopt;
    return ReadSettingsLocked();
}

std::optional<PtySettings> PtyEndpoint::ReadSettingsLocked() {
    auto settings = ReadPtySettings(pty_->fd.Get());
    if (!settings) return std::nullopt;
    // Speed 0 (B0) is how a program without modem-control ioctls drops the line; it is not a
    // speed to report or to pass on.
    if (settings->baudRate > 0)
        lastRealBaudRate_ = settings->baudRate;
    else
        settings->baudRate = lastRealBaudRate_;
    return settings;
}

// Records the settings as reported now and whether their next change will be announced; true
// when they differ from those recorded before.
bool PtyEndpoint::NoteSettingsLocked() {
    const auto settings = ReadSettingsLocked();
    if (!settings) return false;
    const bool changed = settings != seenSettings_;
    seenSettings_ = settings;
    settingsSilent_.store(open_.load() && !settings->announcesChanges);
    return changed;
}

void PtyEndpoint::PollSettings() {
    bool changed = false;
    {
        MutexLock lock(mutex_);
        changed = pty_ && open_.load() && NoteSettingsLocked();
    }
    if (changed) sinks_.Fire(kEventSettingsChanged);
}

bool PtyEndpoint::Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) {
    return sinks_.Advise(std::move(sink), cookie);
}

void PtyEndpoint::Unadvise(uint32_t cookie) { sinks_.Unadvise(cookie); }

void PtyEndpoint::OnSlaveOpened() {
    Events events;
    {
        MutexLock lock(mutex_);
        if (!pty_) return;
        if (ownOpensPending_ > 0)
            --ownOpensPending_;
        else if (++openCount_ == 1)
            MarkOpenedLocked(events);
        ReconcileLocked(events);
    }
    Fire(events);
}

void PtyEndpoint::OnSlaveClosed() {
    Events events;
    {
        MutexLock lock(mutex_);
        if (!pty_) return;
        if (ownClosesPending_ > 0)
            --ownClosesPending_;
        else if (openCount_ > 0 && --openCount_ == 0)
            MarkClosedLocked(events);
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
        MutexLock lock(mutex_);
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
        MutexLock lock(mutex_);
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
            // Readiness for a reader that sleeps until bytes arrive; while some wait it keeps
            // reading.
            if (receive_.Empty() && n > 1) events.push_back(kEventBytesWritten);
            receive_.Push(packet + 1, static_cast<size_t>(n) - 1);
            waiting_.store(receive_.Size());
        } else if (packet[0] & TIOCPKT_IOCTL) {
            NoteSettingsLocked();
            if (events.empty() || events.back() != kEventSettingsChanged)
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
    NoteSettingsLocked();
    UpdateInterestLocked();
    events.push_back(kEventOpened);
}

void PtyEndpoint::MarkClosedLocked(Events& events) {
    openCount_ = 0;
    open_.store(false);
    settingsSilent_.store(false);
    UpdateInterestLocked();
    // Bytes meant for the program that left never reach the next one.
    transmit_.Clear();
    // A program that opened the port again before this close was seen already holds it and may
    // have set its line and started writing: resetting and flushing now would throw its settings
    // and bytes away (its opening is still to be counted). Only a port nobody holds starts clean.
    const int fd = pty_->fd.Get();
    if (PtySlaveHungUp(fd)) {
        int unread = 0;  // what the kernel holds of the program's last writes
        if (::ioctl(fd, FIONREAD, &unread) != 0 || unread < 0) unread = 0;
        droppedAtClose_.fetch_add(receive_.Size() + static_cast<uint64_t>(unread));
        SetRawPtySettings(fd);
        lastRealBaudRate_ = kRawPtyBaudRate;
        seenSettings_.reset();
        const Expected<void> flushed = FlushPty(fd, pty_->slavePath);
        if (flushed) {
            ++ownOpensPending_;
            ++ownClosesPending_;
        }
        droppedAtClose_.fetch_add(DiscardUnread(fd));
        receive_.Clear();
        // Exclusive mode left by the program is ended with a new pseudo-terminal; any other
        // cause leaves the port as it is, said in the journal.
        if (!flushed && flushed.error().code == EBUSY)
            ReplacePtyLocked();
        else if (!flushed)
            SayDiagnostic(Diagnostic::kPortTrouble,
                          {namePath_.substr(namePath_.rfind('/') + 1), flushed.error().message});
    }
    waiting_.store(receive_.Size());
    events.push_back(kEventClosed);
}

// The last program left the slave in exclusive mode, which the kernel keeps while the master
// lives and which only root could now end: every later program would be refused. A new pair
// takes over the name, as a real port forgets the mode at its last close. Should no new pair
// be had, the old one stays (refusing, as before) rather than the name leading nowhere.
void PtyEndpoint::ReplacePtyLocked() {
    Expected<PtyMaster> fresh = OpenPtyMaster();
    if (!fresh || !watch_.Add(shared_from_this(), fresh->slavePath)) return;
    if (!namePath_.empty() && ReadLinkTarget(namePath_) == pty_->nameTarget)
        ReplaceLink(namePath_, fresh->nameTarget);
    pty_ = std::move(*fresh);
    openCount_ = ownOpensPending_ = ownClosesPending_ = 0;
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
