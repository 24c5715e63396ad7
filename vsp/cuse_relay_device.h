#pragma once
// A keying port served by the helper's relay: the program holds only the relay's socket and
// mirrors the port from its frames (state, events, the bytes radio programs write), and sends
// its own (bytes for the radio programs, the CTS input, credit returned). A thread of its own
// reads the relay; the link and the user interface call in from theirs. A malformed frame from
// the relay ends this port as the relay's end does, and LostBecause then says why.
#include <sys/socket.h>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/error.h"
#include "core/relay_protocol.h"
#include "core/thread_annotations.h"
#include "platform/fd.h"
#include "vsp/cuse_endpoint.h"

namespace qx {

class CuseRelayDevice final : public CuseEndpoint {
public:
    // Serves the program's end of a relay socket; why not when the thread or its stop event
    // cannot be made (the socket is closed then, which ends the relay).
    static Expected<std::shared_ptr<CuseRelayDevice>> Serve(UniqueFd relay, EventFn onEvent);
    ~CuseRelayDevice() override;
    CuseRelayDevice(const CuseRelayDevice&) = delete;
    CuseRelayDevice& operator=(const CuseRelayDevice&) = delete;

    void End() override;
    bool Ended() const override { return ended_.load(); }
    std::string LostBecause() const override;
    // Refused whole when the relay's queue has no room for all of it.
    bool DeliverToProgram(const uint8_t* data, size_t count) override;
    size_t TakeFromProgram(uint8_t* buffer, size_t maxCount) override;
    size_t BytesWaiting() override;
    uint64_t DroppedAtClose() override;
    bool IsOpen() override;
    SerialSettings Settings() override;
    bool Rts() override;
    bool Dtr() override;
    void SetInputLine(bool asserted) override;
    std::optional<pid_t> OpenerPid() override;

private:
    CuseRelayDevice(UniqueFd relay, UniqueFd stopFd, EventFn onEvent);
    void Loop();
    // One frame from the relay, its events added to events; why not, when the relay has ended
    // or broke the protocol.
    Expected<void> Receive(std::vector<uint8_t>& buffer, std::vector<int>& events);
    void NoteRelayScheduling(const msghdr& message);  // the device thread only
    bool Apply(const RelayFrame& frame, std::vector<int>& events) QX_REQUIRES(mutex_);
    bool SendLocked(const RelayFrame& frame) QX_REQUIRES(mutex_);
    void ReturnCreditLocked() QX_REQUIRES(mutex_);

    const UniqueFd relay_;
    const UniqueFd stopFd_;
    const EventFn onEvent_;
    std::thread thread_;
    std::atomic<bool> ended_{false};
    bool relayPidSeen_ = false;  // the device thread's own
    Mutex endMutex_;             // one End at a time

    mutable Mutex mutex_;  // guards the mirror, the bytes, both credits and why the relay was lost
    RelayPortState state_ QX_GUARDED_BY(mutex_);
    std::string lostBecause_ QX_GUARDED_BY(mutex_);
    std::deque<uint8_t> fromProgram_ QX_GUARDED_BY(mutex_);
    size_t relayCredit_ QX_GUARDED_BY(mutex_) = kRelayWindow;  // room left in the relay's queue
    uint64_t droppedAtClose_ QX_GUARDED_BY(mutex_) = 0;
    uint32_t unreturnedCredit_ QX_GUARDED_BY(mutex_) = 0;      // taken, not yet told the relay
    std::optional<bool> toldInputLine_ QX_GUARDED_BY(mutex_);  // what the relay last heard
};

}  // namespace qx
