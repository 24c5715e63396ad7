#pragma once
// The system's end of one pseudo-terminal port: the master, the data waiting each way, whether
// a program holds the slave, and the event sinks. Shared by the port instance (any thread) and
// the watch thread, which reports what happens on the master and the slave. It also keeps the
// port's name in the ports directory pointing at its slave, under the same lock, so that a name
// never outlives the pseudo-terminal it leads to.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_ring.h"
#include "core/error.h"
#include "core/thread_annotations.h"
#include "platform/pty_device.h"
#include "vsp/IVSPortAx.h"
#include "vsp/event_sinks.h"

namespace qx {

class PtyWatch;

class PtyEndpoint : public std::enable_shared_from_this<PtyEndpoint> {
public:
    static constexpr size_t kReceiveCapacity = 64 * 1024;
    // Bytes for the program wait here once the pty's own buffer is full: as much as a serial
    // driver's receive queue, so a program that resumes reading finds little that is stale.
    static constexpr size_t kTransmitCapacity = 4096;

    // Gives the name at path to target (the slave's name target); false if it cannot.
    using LinkFn =
        std::function<Expected<void>(const std::string& path, const std::string& target)>;
    // What becomes of the name when the pseudo-terminal goes: removed, or kept pointing at a
    // node that cannot exist so that no program can open it.
    enum class NameFate { kRemoved, kLetGo };

    // watch: follows the endpoint's slave and keeps its master in its epoll set while a program
    // holds it; it outlives the endpoint's pseudo-terminal.
    explicit PtyEndpoint(PtyWatch& watch);
    ~PtyEndpoint();  // a name still held is let go

    uint64_t Id() const { return id_; }

    // Opens a new pseudo-terminal, has the watch follow it and names it by link(namePath, ...);
    // undone on failure, which says why. Fails if it has one already.
    Expected<void> Open(const std::string& namePath, const LinkFn& link);
    // Lets the pseudo-terminal go (the slave disappears, waiting data is dropped) and settles
    // its name as fate says; a name that leads elsewhere by now is left alone.
    void Close(NameFate fate);
    bool HasPty() const;
    // The name's path while the endpoint holds it, else "".
    std::string NamePath() const;
    DeviceNode SlaveNode() const;  // all zero without a pty
    // The endpoint's own path-only descriptor of the slave, not a holder; -1 without a pty.
    int SlaveHandle() const;

    bool IsOpen() const { return open_.load(std::memory_order_relaxed); }
    // Takes all count bytes or none (false, counted in TransmitOverflow).
    bool Write(const uint8_t* data, size_t count);
    std::optional<size_t> Read(uint8_t* buffer, size_t maxCount);
    // Lock-free: the link asks every tick for every port.
    std::optional<size_t> BytesWaiting() const;
    // The speed is the last real one: a hang-up request (speed 0) leaves it as it was.
    std::optional<PtySettings> Settings();
    uint64_t TransmitOverflow() const { return transmitOverflow_.load(); }
    uint64_t DroppedAtClose() const { return droppedAtClose_.load(); }

    bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie);
    void Unadvise(uint32_t cookie);

    // Watch thread: a program opened or closed the slave; the master reported epoll events;
    // the slave watch lost events and the open state must be found afresh.
    void OnSlaveOpened();
    void OnSlaveClosed();
    void OnMasterEvents(uint32_t events);
    void Resynchronize();
    // A program holds the port with settings whose changes the pty does not announce (it
    // cleared EXTPROC, e.g. with c_lflag = 0): the watch calls PollSettings now and then,
    // which fires the settings event when they differ from those seen last.
    bool SettingsSilent() const { return settingsSilent_.load(); }
    void PollSettings();

private:
    using Events = std::vector<int>;

    std::optional<PtySettings> ReadSettingsLocked() QX_REQUIRES(mutex_);
    bool NoteSettingsLocked() QX_REQUIRES(mutex_);
    void ReplacePtyLocked() QX_REQUIRES(mutex_);
    void CloseLocked(NameFate fate) QX_REQUIRES(mutex_);
    void ReadMasterLocked(Events& events) QX_REQUIRES(mutex_);
    bool FlushTransmitLocked() QX_REQUIRES(mutex_);
    void MarkOpenedLocked(Events& events) QX_REQUIRES(mutex_);
    void MarkClosedLocked(Events& events) QX_REQUIRES(mutex_);
    void ReconcileLocked(Events& events) QX_REQUIRES(mutex_);
    void UpdateInterestLocked() QX_REQUIRES(mutex_);
    void ClearBuffersLocked() QX_REQUIRES(mutex_);
    void Fire(const Events& events);

    PtyWatch& watch_;
    const int epollFd_;
    const uint64_t id_;

    mutable Mutex mutex_;
    std::optional<PtyMaster> pty_ QX_GUARDED_BY(mutex_);
    std::string namePath_ QX_GUARDED_BY(mutex_);
    int lastRealBaudRate_ QX_GUARDED_BY(mutex_) = kRawPtyBaudRate;
    std::optional<PtySettings> seenSettings_
        QX_GUARDED_BY(mutex_);  // as last reported by a settings event
    ByteRing receive_ QX_GUARDED_BY(mutex_){kReceiveCapacity};
    ByteRing transmit_ QX_GUARDED_BY(mutex_){kTransmitCapacity};
    int openCount_ QX_GUARDED_BY(mutex_) = 0;
    // Openings and closings of the slave by the endpoint itself, not to be counted.
    int ownOpensPending_ QX_GUARDED_BY(mutex_) = 0;
    int ownClosesPending_ QX_GUARDED_BY(mutex_) = 0;
    int epollMask_ QX_GUARDED_BY(mutex_) =
        -1;  // interest registered for the master; -1 when not in the set
    std::atomic<bool> open_{false};
    std::atomic<bool> hasPty_{false};
    std::atomic<bool> settingsSilent_{false};
    std::atomic<size_t> waiting_{0};  // receive_.Size(), readable without the lock
    std::atomic<uint64_t> transmitOverflow_{0};
    std::atomic<uint64_t> droppedAtClose_{0};  // see IVSPortAx::BytesDroppedAtClose

    EventSinks sinks_;
};

}  // namespace qx
