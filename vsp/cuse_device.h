#pragma once
// One character device served from user space (CUSE): /dev/<name>, which radio programs open
// as a serial port. A thread of its own reads the program's requests from the initialised CUSE
// connection and answers them through a CuseSession; the link and the user interface reach the
// same serial state from their threads. Requests that must wait (blocking reads, drains,
// TIOCMIWAIT) are answered later by the device thread, which an eventfd wakes.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/error.h"
#include "core/thread_annotations.h"
#include "platform/fd.h"
#include "vsp/cuse_endpoint.h"
#include "vsp/cuse_session.h"

namespace qx {

class CuseDevice final : public CuseEndpoint {
public:
    // Serves a connection whose CUSE initialisation is done (see cuse_connection.h); why not
    // when the thread or its wake-up event cannot be made (the connection is closed then).
    static Expected<std::shared_ptr<CuseDevice>> Serve(UniqueFd connection, EventFn onEvent);
    ~CuseDevice() override;
    CuseDevice(const CuseDevice&) = delete;
    CuseDevice& operator=(const CuseDevice&) = delete;

    // Ends the device: waiting requests fail with EIO and the node disappears. Idempotent.
    void End() override;
    bool Ended() const override { return ended_.load(); }

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
    CuseDevice(UniqueFd connection, UniqueFd wakeFd, EventFn onEvent);
    void Loop();
    // Receives one message if there is one; false when the connection has ended.
    bool Receive(std::vector<uint8_t>& buffer);
    // Sends what the session has to say, then fires the port's events (outside the lock).
    void ServicePending();
    // After a change from a link or user interface thread: wake the device thread if it has
    // something to answer or report.
    void WakeIfNeededLocked() QX_REQUIRES(mutex_);
    void Wake();

    UniqueFd connection_;
    const UniqueFd wakeFd_;
    const EventFn onEvent_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    Mutex endMutex_;  // one End at a time: the second waits for the first to finish

    Mutex mutex_;
    CuseSession session_ QX_GUARDED_BY(mutex_);
};

}  // namespace qx
