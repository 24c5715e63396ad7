#include "platform/uevent_monitor.h"

#include <linux/netlink.h>
#include <sys/socket.h>

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/fd.h"

namespace qx {
namespace {

// Bounds one ReadNotices call so a flood of messages cannot hold the user interface thread.
constexpr int kMaxMessagesPerRead = 256;
constexpr int kReceiveBufferBytes = 1 << 20;
constexpr std::size_t kMessageBytes = 8192;  // the kernel sends at most 2048 per uevent

std::optional<std::string_view> FieldValue(std::string_view field, std::string_view key) {
    if (field.size() <= key.size() || !field.starts_with(key) || field[key.size()] != '=')
        return std::nullopt;
    return field.substr(key.size() + 1);
}

class UeventMonitor final : public DeviceNoticeSource {
public:
    explicit UeventMonitor(UniqueFd socket) : socket_(std::move(socket)) {}
    int Fd() const override { return socket_.Get(); }
    std::vector<DeviceNotice> ReadNotices() override;

private:
    // recvmsg without waiting: the byte count, or -1 with errno. fromKernel tells whether the
    // message came whole from the kernel itself (not from another process on the group).
    ssize_t Receive(char* buffer, std::size_t size, bool* fromKernel);

    UniqueFd socket_;
};

ssize_t UeventMonitor::Receive(char* buffer, std::size_t size, bool* fromKernel) {
    sockaddr_nl sender{};
    iovec data{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof(sender);
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t n = ::recvmsg(socket_.Get(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    const cmsghdr* header = n >= 0 ? CMSG_FIRSTHDR(&message) : nullptr;
    const bool whole = (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0;
    const bool credentialsFromKernel = header != nullptr && header->cmsg_level == SOL_SOCKET &&
                                       header->cmsg_type == SCM_CREDENTIALS &&
                                       reinterpret_cast<const ucred*>(CMSG_DATA(header))->pid == 0;
    *fromKernel = whole && sender.nl_pid == 0 && credentialsFromKernel;
    return n;
}

std::vector<DeviceNotice> UeventMonitor::ReadNotices() {
    std::vector<DeviceNotice> notices;
    std::vector<char> buffer(kMessageBytes);
    bool lost = false;
    for (int i = 0; i < kMaxMessagesPerRead; ++i) {
        bool fromKernel = false;
        const ssize_t n = Receive(buffer.data(), buffer.size(), &fromKernel);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOBUFS) {  // the kernel dropped messages; later ones are still queued
                lost = true;
                continue;
            }
            break;  // EAGAIN: nothing more waiting
        }
        if (!fromKernel) continue;
        if (auto notice = ParseUevent(buffer.data(), static_cast<std::size_t>(n)))
            notices.push_back(std::move(*notice));
    }
    if (lost) {
        notices.push_back({DeviceNotice::kArrival, kLostNoticesPath});
        notices.push_back({DeviceNotice::kRemoval, kLostNoticesPath});
    }
    return notices;
}

}  // namespace

std::optional<DeviceNotice> ParseUevent(const char* data, std::size_t size) {
    if (data == nullptr || size == 0) return std::nullopt;
    std::string_view rest(data, size);
    std::optional<std::string_view> action, devicePath, subsystem;
    bool first = true;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\0');
        const std::string_view field = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (first) {
            // The kernel's header "action@devpath"; anything else (udev's own "libudev"
            // messages, garbage) is not a kernel uevent.
            if (field.find('@') == std::string_view::npos ||
                field.find('=') != std::string_view::npos)
                return std::nullopt;
            first = false;
            continue;
        }
        if (auto value = FieldValue(field, "ACTION"))
            action = value;
        else if (auto value = FieldValue(field, "DEVPATH"))
            devicePath = value;
        else if (auto value = FieldValue(field, "SUBSYSTEM"))
            subsystem = value;
    }
    if (!action || !devicePath || devicePath->empty() || subsystem != "hidraw") return std::nullopt;
    if (*action == "add") return DeviceNotice{DeviceNotice::kArrival, std::string(*devicePath)};
    if (*action == "remove") return DeviceNotice{DeviceNotice::kRemoval, std::string(*devicePath)};
    return std::nullopt;
}

bool NoticeNamesOurDevice(const std::string& devicePath) {
    return devicePath.find("0483:A1DE") != std::string::npos;
}

NoticeOrigin ChooseNoticeOrigin(const std::string& udevControlPath) {
    return ::access(udevControlPath.c_str(), F_OK) == 0 ? NoticeOrigin::kUdev
                                                        : NoticeOrigin::kKernel;
}

std::unique_ptr<DeviceNoticeSource> MakeUeventMonitor() {
    if (ChooseNoticeOrigin() == NoticeOrigin::kUdev) {
        Expected<std::unique_ptr<DeviceNoticeSource>> monitor = MakeUdevMonitor();
        if (monitor) return std::move(*monitor);
        SayDiagnostic(Diagnostic::kUdevUnavailable, {monitor.error().message});
    }
    return MakeKernelUeventMonitor();
}

std::unique_ptr<DeviceNoticeSource> MakeKernelUeventMonitor() {
    UniqueFd socket(
        ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (!socket.Valid()) return nullptr;
    const int on = 1;
    if (::setsockopt(socket.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) return nullptr;
    // A larger buffer makes a lost notice during a burst of plugging less likely; refusal is fine.
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                 sizeof(kReceiveBufferBytes));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's own messages, not udev's re-broadcast
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return nullptr;
    return std::make_unique<UeventMonitor>(std::move(socket));
}

}  // namespace qx
