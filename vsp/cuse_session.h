#pragma once
// Answers a program's requests on one CUSE device from a SerialState: decoded kernel messages
// in, reply messages out (collected in an outbox the transport writes). Requests that wait are
// answered by Service() once the state completes them; pollers are woken when the port becomes
// readable or writable. Plain logic: the caller holds its own lock and does the I/O.
#include <cstdint>
#include <span>
#include <vector>

#include "core/cuse_protocol.h"
#include "vsp/serial_state.h"

namespace qx {

class CuseSession {
public:
    // One message read from the connection; never throws, whatever the bytes.
    void Handle(std::span<const uint8_t> message, SerialClock::time_point now);
    // Replies to requests the state has completed since, and wake-ups for new readiness.
    void Service();
    // Whether Service() has something to send (after a change from the link's side).
    bool NeedsService() const;
    std::vector<CuseMessage> TakeOutbox();

    SerialState& State() { return state_; }
    const SerialState& State() const { return state_; }

private:
    void Dispatch(const CuseRequest& request, SerialClock::time_point now);
    void Answer(uint64_t unique, const SerialReply& reply, SerialAnswer answer);
    void Send(CuseMessage message) { outbox_.push_back(std::move(message)); }

    SerialState state_;
    uint64_t nextOpener_ = 1;
    std::vector<uint64_t> pollHandles_;  // the kernel's handles waiting for a wake-up
    bool readableSeen_ = false;
    bool writableSeen_ = true;
    std::vector<CuseMessage> outbox_;
};

}  // namespace qx
