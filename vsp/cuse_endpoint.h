#pragma once
// What a CUSE port needs of the device behind /dev/qx-COM<n>: served in this process
// (CuseDevice) or by the helper's relay, mirrored over its socket (CuseRelayDevice). Every
// operation may be called from any thread; after End they report a port no one holds.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "vsp/serial_state.h"

namespace qx {

class CuseEndpoint {
public:
    using EventFn = std::function<void(int dispatchId)>;  // called on the endpoint's thread

    virtual ~CuseEndpoint() = default;
    // Ends the device: the node disappears. Idempotent.
    virtual void End() = 0;
    virtual bool Ended() const = 0;
    // Why the device ended by itself, while End was not called (a relay that ended); empty while
    // it serves or when End ended it.
    virtual std::string LostBecause() const { return {}; }
    // All the bytes or none of them.
    virtual bool DeliverToProgram(const uint8_t* data, size_t count) = 0;
    virtual size_t TakeFromProgram(uint8_t* buffer, size_t maxCount) = 0;
    virtual size_t BytesWaiting() = 0;
    virtual uint64_t DroppedAtClose() = 0;  // see IVSPortAx::BytesDroppedAtClose
    virtual bool IsOpen() = 0;
    virtual SerialSettings Settings() = 0;
    virtual bool Rts() = 0;
    virtual bool Dtr() = 0;
    virtual void SetInputLine(bool asserted) = 0;
    virtual std::optional<pid_t> OpenerPid() = 0;
};

}  // namespace qx
