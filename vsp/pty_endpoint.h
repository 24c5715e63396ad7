#pragma once
// The system's end of one pseudo-terminal port: the master, the data waiting each way, whether
// a program holds the slave, and the event sinks. Shared by the port instance (any thread) and
// the watch thread, which reports what happens on the master and the slave.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/byte_ring.h"
#include "vsp/event_sinks.h"
#include "platform/pty_device.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class PtyEndpoint {
public:
    static constexpr size_t kReceiveCapacity = 64 * 1024;
    static constexpr size_t kTransmitCapacity = 64 * 1024;

    // epollFd: the watch's epoll set, in which the master is kept while a program holds it.
    explicit PtyEndpoint(int epollFd);
    ~PtyEndpoint();

    uint64_t Id() const { return id_; }

    // Opens a new pseudo-terminal; false if it has one already or none can be opened.
    bool Open();
    // Lets the pseudo-terminal go: the slave disappears; waiting data is dropped.
    void Close();
    bool HasPty() const;
    std::string SlavePath() const;
    dev_t SlaveDevice() const;

    bool IsOpen() const { return open_.load(std::memory_order_relaxed); }
    bool Write(const uint8_t* data, size_t count);
    std::optional<size_t> Read(uint8_t* buffer, size_t maxCount);
    // Lock-free: the link asks every tick for every port.
    std::optional<size_t> BytesWaiting() const;
    std::optional<PtySettings> Settings() const;
    uint64_t TransmitOverflow() const { return transmitOverflow_.load(); }

    bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie);
    void Unadvise(uint32_t cookie);

    // Watch thread: a program opened or closed the slave; the master reported epoll events;
    // the slave watch lost events and the open state must be found afresh.
    void OnSlaveOpened();
    void OnSlaveClosed();
    void OnMasterEvents(uint32_t events);
    void Resynchronize();

private:
    using Events = std::vector<int>;

    void ReadMasterLocked(Events& events);
    bool FlushTransmitLocked();
    void MarkOpenedLocked(Events& events);
    void MarkClosedLocked(Events& events);
    void ReconcileLocked(Events& events);
    void UpdateInterestLocked();
    void ClearBuffersLocked();
    void Fire(const Events& events);

    const int epollFd_;
    const uint64_t id_;

    mutable std::mutex mutex_;
    std::optional<PtyMaster> pty_;
    ByteRing receive_{kReceiveCapacity};
    ByteRing transmit_{kTransmitCapacity};
    int openCount_ = 0;
    // Openings and closings of the slave by the endpoint itself, not to be counted.
    int ownOpensPending_ = 0;
    int ownClosesPending_ = 0;
    int epollMask_ = -1;  // interest registered for the master; -1 when not in the set
    std::atomic<bool> open_{false};
    std::atomic<bool> hasPty_{false};
    std::atomic<size_t> waiting_{0};  // receive_.Size(), readable without the lock
    std::atomic<uint64_t> transmitOverflow_{0};

    EventSinks sinks_;
};

}  // namespace qx
