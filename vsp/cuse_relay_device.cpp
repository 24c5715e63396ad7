#include "vsp/cuse_relay_device.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/realtime_scheduling.h"
#include "platform/start_thread.h"
#include "vsp/IVSPortAx.h"

namespace qx {

Expected<std::shared_ptr<CuseRelayDevice>> CuseRelayDevice::Serve(UniqueFd relay, EventFn onEvent) {
    if (!relay.Valid()) return Error{EBADF, "no relay socket to serve"};
    UniqueFd stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd.Valid()) return Error::FromErrno(errno, "making the port's stop event");
    // Each frame then carries the relay's pid, so its scheduling can be seen from here.
    const int one = 1;
    ::setsockopt(relay.Get(), SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
    std::shared_ptr<CuseRelayDevice> device(
        new CuseRelayDevice(std::move(relay), std::move(stopFd), std::move(onEvent)));
    // Without its thread the device ends here, which closes the relay's socket.
    Expected<std::thread> thread =
        StartThread([raw = device.get()] { raw->Loop(); }, "reading the port's relay");
    if (!thread) return thread.error();
    device->thread_ = std::move(*thread);
    return device;
}

CuseRelayDevice::CuseRelayDevice(UniqueFd relay, UniqueFd stopFd, EventFn onEvent)
    : relay_(std::move(relay)), stopFd_(std::move(stopFd)), onEvent_(std::move(onEvent)) {}

CuseRelayDevice::~CuseRelayDevice() { End(); }

void CuseRelayDevice::End() {
    MutexLock endLock(endMutex_);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd_.Get(), &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ended_.store(true);
    // Closing our end makes the relay fail what waits and end the device.
    ::shutdown(relay_.Get(), SHUT_RDWR);
}

// --- the device thread -----------------------------------------------------------------------

void CuseRelayDevice::Loop() {
    // RTS/DTR changes go through this thread on their way to the link's worker.
    RaiseThreadToRealtime(KeyingRealtimePriority(), SchedulingRole::kPortThread);
    std::vector<uint8_t> buffer(kRelayMaxFrame);
    std::vector<int> events;
    Expected<void> serving;
    while (serving) {
        pollfd fds[2] = {{relay_.Get(), POLLIN, 0}, {stopFd_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            serving = Error::FromErrno(errno, "waiting for the relay");
            break;
        }
        if (fds[1].revents & POLLIN) break;  // End: nothing was lost
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) serving = Receive(buffer, events);
        if (onEvent_)
            for (int event : events) onEvent_(event);
        events.clear();
    }
    const bool wasOpen = [&] {
        MutexLock lock(mutex_);
        if (!serving) lostBecause_ = serving.error().message;
        return std::exchange(state_, {}).open;
    }();
    ended_.store(true);
    // The port is gone with its opener; a lost relay is news even for a port nobody held.
    if ((wasOpen || !serving) && onEvent_) onEvent_(kEventClosed);
}

std::string CuseRelayDevice::LostBecause() const {
    MutexLock lock(mutex_);
    return lostBecause_;
}

Expected<void> CuseRelayDevice::Receive(std::vector<uint8_t>& buffer, std::vector<int>& events) {
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(relay_.Get(), &message, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return {};
    if (n > 0) NoteRelayScheduling(message);
    if (n < 0) return Error::FromErrno(errno, "reading from the relay");
    if (n == 0) return Error{0, "the relay ended"};
    if (static_cast<size_t>(n) > buffer.size())
        return Error{0, "the relay sent a frame of " + std::to_string(n) + " bytes"};
    const Expected<RelayFrame> frame =
        DecodeRelayFrame({buffer.data(), static_cast<size_t>(n)}, RelaySender::kRelay);
    if (!frame) return frame.error();
    MutexLock lock(mutex_);
    if (!Apply(*frame, events)) return Error{0, "the relay broke the protocol"};
    return {};
}

// Once per relay, from the first frame that carries its pid (those sent before SO_PASSCRED was
// set carry none): the helper set its scheduling before the relay served anything.
void CuseRelayDevice::NoteRelayScheduling(const msghdr& message) {
    if (relayPidSeen_) return;
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (!header || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_CREDENTIALS) return;
    ucred sender{};
    std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
    if (sender.pid <= 0) return;
    relayPidSeen_ = true;
    NoteSchedulingOutcome(SchedulingRole::kRelay, ObservedScheduling(sender.pid));
}

bool CuseRelayDevice::Apply(const RelayFrame& frame, std::vector<int>& events) {
    switch (frame.type) {
    case RelayFrameType::kState: state_ = frame.state; return true;
    case RelayFrameType::kEvent:
        if (frame.event == kEventClosed) {
            // What the last program wrote before it left goes with it, as in the port itself.
            unreturnedCredit_ += static_cast<uint32_t>(fromProgram_.size());
            droppedAtClose_ += fromProgram_.size();
            fromProgram_.clear();
            ReturnCreditLocked();
        }
        events.push_back(frame.event);
        return true;
    case RelayFrameType::kFromProgram:
        if (fromProgram_.size() + frame.bytes.size() + unreturnedCredit_ > kRelayWindow)
            return false;  // beyond the credit given
        if (fromProgram_.empty()) events.push_back(kEventBytesWritten);
        fromProgram_.insert(fromProgram_.end(), frame.bytes.begin(), frame.bytes.end());
        return true;
    case RelayFrameType::kConsumed:
        if (frame.count > kRelayWindow - relayCredit_) return false;
        relayCredit_ += frame.count;
        return true;
    default: return false;  // the decoder lets only the relay's own types through
    }
}

// --- the link's and the user interface's threads ---------------------------------------------

bool CuseRelayDevice::SendLocked(const RelayFrame& frame) {
    const std::vector<uint8_t> bytes = EncodeRelayFrame(frame);
    return ::send(relay_.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// Credit the relay could not be told of yet is told with the next chance.
void CuseRelayDevice::ReturnCreditLocked() {
    if (unreturnedCredit_ > 0 && SendLocked(RelayFrame::Consumed(unreturnedCredit_)))
        unreturnedCredit_ = 0;
}

bool CuseRelayDevice::DeliverToProgram(const uint8_t* data, size_t count) {
    if (ended_.load()) return false;
    MutexLock lock(mutex_);
    if (count > relayCredit_) return false;
    if (count == 0) return true;
    if (!SendLocked(RelayFrame::Bytes(RelayFrameType::kToProgram, {data, data + count})))
        return false;
    relayCredit_ -= count;
    return true;
}

size_t CuseRelayDevice::TakeFromProgram(uint8_t* buffer, size_t maxCount) {
    if (ended_.load()) return 0;
    MutexLock lock(mutex_);
    const size_t taken = std::min(maxCount, fromProgram_.size());
    std::copy_n(fromProgram_.begin(), taken, buffer);
    fromProgram_.erase(fromProgram_.begin(), fromProgram_.begin() + static_cast<long>(taken));
    unreturnedCredit_ += static_cast<uint32_t>(taken);
    ReturnCreditLocked();
    return taken;
}

size_t CuseRelayDevice::BytesWaiting() {
    MutexLock lock(mutex_);
    return ended_.load() ? 0 : fromProgram_.size();
}

uint64_t CuseRelayDevice::DroppedAtClose() {
    MutexLock lock(mutex_);
    return droppedAtClose_;
}

bool CuseRelayDevice::IsOpen() {
    MutexLock lock(mutex_);
    return !ended_.load() && state_.open;
}

SerialSettings CuseRelayDevice::Settings() {
    MutexLock lock(mutex_);
    return {static_cast<int>(state_.baudRate), state_.dataBits, state_.parity, state_.stopBits};
}

bool CuseRelayDevice::Rts() {
    MutexLock lock(mutex_);
    return !ended_.load() && state_.rts;
}

bool CuseRelayDevice::Dtr() {
    MutexLock lock(mutex_);
    return !ended_.load() && state_.dtr;
}

// Called on every pass of the link while the port is open: only a change is a frame.
void CuseRelayDevice::SetInputLine(bool asserted) {
    MutexLock lock(mutex_);
    ReturnCreditLocked();
    if (toldInputLine_ != asserted && SendLocked(RelayFrame::InputLine(asserted)))
        toldInputLine_ = asserted;
}

std::optional<pid_t> CuseRelayDevice::OpenerPid() {
    MutexLock lock(mutex_);
    if (ended_.load() || !state_.open || state_.openerPid == 0) return std::nullopt;
    return static_cast<pid_t>(state_.openerPid);
}

}  // namespace qx
