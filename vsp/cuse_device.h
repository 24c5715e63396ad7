#pragma once
// One character device served from user space (CUSE): /dev/<name>, which radio programs open
// as a serial port. A thread of its own runs the fuse session and answers the program's open,
// read, write, poll and ioctl requests from a SerialState; the link and the user interface
// reach the same state from their threads. Requests that must wait (blocking reads, drains,
// TIOCMIWAIT) are answered later by the session thread, which an eventfd wakes.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fd.h"
#include "vsp/serial_state.h"

struct fuse_session;
struct fuse_pollhandle;

namespace qx {

class CuseDevice {
public:
    using EventFn = std::function<void(int dispatchId)>;  // called on the session thread

    // Makes /dev/<name> and waits until the kernel has it; null when /dev/cuse cannot be
    // opened, the name is taken, or the kernel refuses it.
    static std::shared_ptr<CuseDevice> Start(const std::string& name, EventFn onEvent);
    ~CuseDevice();
    CuseDevice(const CuseDevice&) = delete;
    CuseDevice& operator=(const CuseDevice&) = delete;

    static std::string NodePath(const std::string& name) { return "/dev/" + name; }

    // Ends the device: waiting requests fail with EIO and the node disappears. Idempotent.
    void End();
    bool Ended() const { return ended_.load(); }

    // Any thread. After End they report a port no one holds.
    bool DeliverToProgram(const uint8_t* data, size_t count);
    size_t TakeFromProgram(uint8_t* buffer, size_t maxCount);
    size_t BytesWaiting();
    bool IsOpen();
    SerialSettings Settings();
    bool Rts();
    bool Dtr();
    void SetInputLine(bool asserted);
    std::optional<pid_t> OpenerPid();

    // fuse callbacks, session thread only (public for the C entry points).
    void OnInitDone();
    void OnOpen(void* req, void* fi);
    void OnRelease(void* req, void* fi);
    void OnRead(void* req, size_t size, void* fi);
    void OnWrite(void* req, const char* buf, size_t size, void* fi);
    void OnIoctl(void* req, unsigned int cmd, void* arg, const void* in, size_t inSize, size_t outSize);
    void OnPoll(void* req, fuse_pollhandle* handle);
    void OnInterrupt(void* req);

private:
    CuseDevice(std::string name, EventFn onEvent);
    bool Launch();
    void Loop();
    // Answers what the state completed, tells pollers about new readiness, fires events.
    void ServicePending();
    void Answer(void* req, const SerialReply& reply);
    // After a change from a link or user interface thread: wake the session thread if it has
    // something to answer or report.
    void WakeIfNeededLocked();
    void Wake();

    const std::string name_;
    const EventFn onEvent_;
    UniqueFd wakeFd_;
    fuse_session* session_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::mutex endMutex_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable started_;
    bool initDone_ = false;
    bool loopOver_ = false;
    SerialState state_;
    uint64_t nextOpener_ = 1;
    std::vector<fuse_pollhandle*> pollHandles_;
    bool readableSeen_ = false;
    bool writableSeen_ = true;
};

}  // namespace qx
