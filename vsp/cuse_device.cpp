#include "vsp/cuse_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/descriptor_setup.h"
#include "platform/realtime_scheduling.h"
#include "platform/start_thread.h"

namespace qx {

Expected<std::shared_ptr<CuseDevice>> CuseDevice::Serve(UniqueFd connection, EventFn onEvent) {
    if (!connection.Valid()) return Error{EBADF, "no connection to serve"};
    UniqueFd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd.Valid()) return Error::FromErrno(errno, "making the device's wake-up event");
    // The device thread waits in poll; a read must never block it.
    if (!SetNonBlocking(connection.Get()))
        return Error::FromErrno(errno, "making the connection non-blocking");
    std::shared_ptr<CuseDevice> device(
        new CuseDevice(std::move(connection), std::move(wakeFd), std::move(onEvent)));
    // Without its thread the device ends here, as one that could not be made.
    Expected<std::thread> thread =
        StartThread([raw = device.get()] { raw->Loop(); }, "serving the device");
    if (!thread) return thread.error();
    device->thread_ = std::move(*thread);
    return device;
}

CuseDevice::CuseDevice(UniqueFd connection, UniqueFd wakeFd, EventFn onEvent)
    : connection_(std::move(connection)),
      wakeFd_(std::move(wakeFd)),
      onEvent_(std::move(onEvent)) {}

CuseDevice::~CuseDevice() { End(); }

void CuseDevice::End() {
    MutexLock endLock(endMutex_);
    if (ended_.exchange(true)) return;
    stop_.store(true);
    Wake();
    if (thread_.joinable()) thread_.join();
    {
        MutexLock lock(mutex_);
        session_.State().AbortWaiting();
    }
    ServicePending();     // the waiting requests get their EIO before the connection goes
    connection_.Reset();  // the kernel removes the node
}

// --- the device thread -----------------------------------------------------------------------

void CuseDevice::Loop() {
    // RTS/DTR changes go through this thread on their way to the link's worker.
    RaiseThreadToRealtime(KeyingRealtimePriority(), SchedulingRole::kPortThread);
    std::vector<uint8_t> buffer(kCuseReadBuffer);
    while (!stop_.load()) {
        int timeout = -1;
        {
            MutexLock lock(mutex_);
            if (auto deadline = session_.State().NextDeadline()) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline - SerialClock::now());
                timeout =
                    static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
            }
        }
        pollfd fds[2] = {{connection_.Get(), POLLIN, 0}, {wakeFd_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_.Get(), &count, sizeof count);
        }
        if ((fds[0].revents & POLLIN) && !Receive(buffer)) break;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;  // the kernel ended the device
        {
            MutexLock lock(mutex_);
            session_.State().ExpireDeadlines(SerialClock::now());
        }
        ServicePending();
    }
}

bool CuseDevice::Receive(std::vector<uint8_t>& buffer) {
    const ssize_t n = ::read(connection_.Get(), buffer.data(), buffer.size());
    if (n < 0) return errno == EINTR || errno == EAGAIN;  // ENODEV: the kernel ended the device
    if (n == 0) return false;
    MutexLock lock(mutex_);
    session_.Handle({buffer.data(), static_cast<size_t>(n)}, SerialClock::now());
    return true;
}

void CuseDevice::ServicePending() {
    std::vector<CuseMessage> outbox;
    std::vector<int> events;
    {
        MutexLock lock(mutex_);
        session_.Service();
        outbox = session_.TakeOutbox();
        events = session_.State().TakeEvents();
    }
    // A reply to a request the program gave up on meanwhile fails with ENOENT: nothing to do.
    for (const CuseMessage& message : outbox)
        [[maybe_unused]] const ssize_t n =
            ::write(connection_.Get(), message.data(), message.size());
    if (onEvent_)
        for (int event : events) onEvent_(event);
}

// --- the link's and the user interface's threads ---------------------------------------------

void CuseDevice::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_.Get(), &one, sizeof one);
}

void CuseDevice::WakeIfNeededLocked() {
    if (session_.NeedsService()) Wake();
}

bool CuseDevice::DeliverToProgram(const uint8_t* data, size_t count) {
    if (ended_.load()) return false;
    MutexLock lock(mutex_);
    const size_t accepted = session_.State().DeliverToProgram({data, count});
    WakeIfNeededLocked();
    return accepted == count;
}

size_t CuseDevice::TakeFromProgram(uint8_t* buffer, size_t maxCount) {
    if (ended_.load()) return 0;
    MutexLock lock(mutex_);
    const size_t taken = session_.State().TakeFromProgram({buffer, maxCount});
    WakeIfNeededLocked();
    return taken;
}

size_t CuseDevice::BytesWaiting() {
    MutexLock lock(mutex_);
    return ended_.load() ? 0 : session_.State().BytesWaiting();
}

uint64_t CuseDevice::DroppedAtClose() {
    MutexLock lock(mutex_);
    return session_.State().DroppedAtClose();
}

bool CuseDevice::IsOpen() {
    MutexLock lock(mutex_);
    return !ended_.load() && session_.State().IsOpen();
}

SerialSettings CuseDevice::Settings() {
    MutexLock lock(mutex_);
    return session_.State().Settings();
}

bool CuseDevice::Rts() {
    MutexLock lock(mutex_);
    return !ended_.load() && session_.State().Rts();
}

bool CuseDevice::Dtr() {
    MutexLock lock(mutex_);
    return !ended_.load() && session_.State().Dtr();
}

void CuseDevice::SetInputLine(bool asserted) {
    MutexLock lock(mutex_);
    session_.State().SetInputLine(asserted);
    WakeIfNeededLocked();
}

std::optional<pid_t> CuseDevice::OpenerPid() {
    MutexLock lock(mutex_);
    if (ended_.load()) return std::nullopt;
    return session_.State().OpenerPid();
}

}  // namespace qx
