#define FUSE_USE_VERSION 35
#include "vsp/cuse_device.h"

#include <cuse_lowlevel.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace qx {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(5);

CuseDevice* DeviceOf(fuse_req_t req) { return static_cast<CuseDevice*>(fuse_req_userdata(req)); }

SerialRequestId IdOf(void* req) { return reinterpret_cast<uintptr_t>(req); }
fuse_req_t ReqOf(SerialRequestId id) { return reinterpret_cast<fuse_req_t>(static_cast<uintptr_t>(id)); }

// The C entry points: every one forwards to the device the session belongs to.
void InitDone(void* userdata) { static_cast<CuseDevice*>(userdata)->OnInitDone(); }
void Open(fuse_req_t req, fuse_file_info* fi) { DeviceOf(req)->OnOpen(req, fi); }
void Release(fuse_req_t req, fuse_file_info* fi) { DeviceOf(req)->OnRelease(req, fi); }
void Read(fuse_req_t req, size_t size, off_t, fuse_file_info* fi) { DeviceOf(req)->OnRead(req, size, fi); }
void Write(fuse_req_t req, const char* buf, size_t size, off_t, fuse_file_info* fi) {
    DeviceOf(req)->OnWrite(req, buf, size, fi);
}
void Ioctl(fuse_req_t req, int cmd, void* arg, fuse_file_info*, unsigned, const void* in, size_t inSize,
           size_t outSize) {
    // tty ioctls are plain numbers, not _IOC codes: the device asks for unrestricted ioctls.
    DeviceOf(req)->OnIoctl(req, static_cast<unsigned int>(cmd), arg, in, inSize, outSize);
}
void Poll(fuse_req_t req, fuse_file_info*, fuse_pollhandle* ph) { DeviceOf(req)->OnPoll(req, ph); }
void Interrupt(fuse_req_t req, void* data) { static_cast<CuseDevice*>(data)->OnInterrupt(req); }

const cuse_lowlevel_ops kOps = [] {
    cuse_lowlevel_ops ops{};
    ops.init_done = InitDone;
    ops.open = Open;
    ops.release = Release;
    ops.read = Read;
    ops.write = Write;
    ops.ioctl = Ioctl;
    ops.poll = Poll;
    return ops;
}();

bool NonBlocking(void* fi) { return static_cast<fuse_file_info*>(fi)->flags & O_NONBLOCK; }

}  // namespace

std::shared_ptr<CuseDevice> CuseDevice::Start(const std::string& name, EventFn onEvent) {
    struct stat st {};
    if (::lstat(NodePath(name).c_str(), &st) == 0) return nullptr;  // the name is taken
    std::shared_ptr<CuseDevice> device(new CuseDevice(name, std::move(onEvent)));
    if (!device->Launch()) return nullptr;
    return device;
}

CuseDevice::CuseDevice(std::string name, EventFn onEvent) : name_(std::move(name)), onEvent_(std::move(onEvent)) {}

CuseDevice::~CuseDevice() { End(); }

bool CuseDevice::Launch() {
    wakeFd_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    UniqueFd cuse(::open("/dev/cuse", O_RDWR | O_CLOEXEC));
    if (!wakeFd_.Valid() || !cuse.Valid()) return false;

    const std::string devName = "DEVNAME=" + name_;
    const char* devInfo[] = {devName.c_str()};
    cuse_info info{};
    info.dev_info_argc = 1;
    info.dev_info_argv = devInfo;
    info.flags = CUSE_UNRESTRICTED_IOCTL;
    char program[] = "qx-manager";
    char* argv[] = {program, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    session_ = cuse_lowlevel_new(&args, &info, &kOps, this);
    fuse_opt_free_args(&args);
    if (!session_) return false;
    // Our own /dev/cuse descriptor handed over by number; from here on the session owns it.
    const std::string fdPath = "/dev/fd/" + std::to_string(cuse.Get());
    if (fuse_session_mount(session_, fdPath.c_str()) != 0) {
        fuse_session_destroy(session_);
        session_ = nullptr;
        return false;
    }
    cuse.Release();

    thread_ = std::thread([this] { Loop(); });
    std::unique_lock lock(mutex_);
    started_.wait_for(lock, kStartTimeout, [this] { return initDone_ || loopOver_; });
    const bool ready = initDone_ && !loopOver_;
    lock.unlock();
    struct stat st {};
    if (ready && ::stat(NodePath(name_).c_str(), &st) == 0 && S_ISCHR(st.st_mode)) return true;
    End();
    return false;
}

void CuseDevice::End() {
    std::lock_guard endLock(endMutex_);
    if (ended_.exchange(true)) return;
    stop_.store(true);
    Wake();
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard lock(mutex_);
        state_.AbortWaiting();
    }
    ServicePending();  // the waiting requests get their EIO before the session goes
    for (fuse_pollhandle* handle : pollHandles_) fuse_pollhandle_destroy(handle);
    pollHandles_.clear();
    if (session_) fuse_session_destroy(session_);  // closes /dev/cuse: the node disappears
    session_ = nullptr;
}

// --- the session thread ----------------------------------------------------------------------

void CuseDevice::Loop() {
    fuse_buf buffer{};
    const int sessionFd = fuse_session_fd(session_);
    while (!stop_.load() && !fuse_session_exited(session_)) {
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            if (auto deadline = state_.NextDeadline()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - SerialClock::now());
                timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
            }
        }
        pollfd fds[2] = {{sessionFd, POLLIN, 0}, {wakeFd_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wakeFd_.Get(), &count, sizeof count);
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;  // the kernel ended the device
        if (fds[0].revents & POLLIN) {
            const int received = fuse_session_receive_buf(session_, &buffer);
            if (received == -EINTR || received == -EAGAIN) continue;
            if (received <= 0) break;
            fuse_session_process_buf(session_, &buffer);
        }
        {
            std::lock_guard lock(mutex_);
            state_.ExpireDeadlines(SerialClock::now());
        }
        ServicePending();
    }
    std::free(buffer.mem);
    std::lock_guard lock(mutex_);
    loopOver_ = true;
    started_.notify_all();
}

void CuseDevice::ServicePending() {
    std::vector<SerialCompletion> completions;
    std::vector<int> events;
    std::vector<fuse_pollhandle*> notify;
    {
        std::lock_guard lock(mutex_);
        completions = state_.TakeCompletions();
        events = state_.TakeEvents();
        const bool readable = state_.Readable();
        const bool writable = state_.Writable();
        if ((readable && !readableSeen_) || (writable && !writableSeen_)) notify.swap(pollHandles_);
        readableSeen_ = readable;
        writableSeen_ = writable;
    }
    for (const SerialCompletion& done : completions) {
        const fuse_req_t req = ReqOf(done.id);
        if (done.reply.error != 0)
            fuse_reply_err(req, done.reply.error);
        else if (done.answer == SerialAnswer::ReadBytes)
            fuse_reply_buf(req, reinterpret_cast<const char*>(done.reply.data.data()), done.reply.data.size());
        else if (done.answer == SerialAnswer::WriteCount)
            fuse_reply_write(req, static_cast<size_t>(done.reply.result));
        else
            fuse_reply_ioctl(req, done.reply.result, nullptr, 0);
    }
    for (fuse_pollhandle* handle : notify) {
        fuse_lowlevel_notify_poll(handle);
        fuse_pollhandle_destroy(handle);
    }
    if (onEvent_)
        for (int event : events) onEvent_(event);
}

void CuseDevice::OnInitDone() {
    std::lock_guard lock(mutex_);
    initDone_ = true;
    started_.notify_all();
}

void CuseDevice::OnOpen(void* req, void* fi) {
    auto* file = static_cast<fuse_file_info*>(fi);
    int error = 0;
    {
        std::lock_guard lock(mutex_);
        file->fh = nextOpener_++;
        error = state_.Open(file->fh, fuse_req_ctx(static_cast<fuse_req_t>(req))->pid);
    }
    file->direct_io = 1;
    file->nonseekable = 1;
    if (error != 0)
        fuse_reply_err(static_cast<fuse_req_t>(req), error);
    else
        fuse_reply_open(static_cast<fuse_req_t>(req), file);
}

void CuseDevice::OnRelease(void* req, void* fi) {
    {
        std::lock_guard lock(mutex_);
        state_.Release(static_cast<fuse_file_info*>(fi)->fh);
    }
    fuse_reply_err(static_cast<fuse_req_t>(req), 0);
}

void CuseDevice::OnRead(void* req, size_t size, void* fi) {
    SerialReply reply;
    {
        std::lock_guard lock(mutex_);
        reply = state_.Read(IdOf(req), size, NonBlocking(fi), SerialClock::now());
    }
    if (reply.kind == SerialReply::Kind::Done && reply.error == 0)
        fuse_reply_buf(static_cast<fuse_req_t>(req), reinterpret_cast<const char*>(reply.data.data()),
                       reply.data.size());
    else
        Answer(req, reply);
}

void CuseDevice::OnWrite(void* req, const char* buf, size_t size, void* fi) {
    SerialReply reply;
    {
        std::lock_guard lock(mutex_);
        reply = state_.Write(IdOf(req), {reinterpret_cast<const uint8_t*>(buf), size}, NonBlocking(fi));
    }
    if (reply.kind == SerialReply::Kind::Done && reply.error == 0)
        fuse_reply_write(static_cast<fuse_req_t>(req), static_cast<size_t>(reply.result));
    else
        Answer(req, reply);
}

void CuseDevice::OnIoctl(void* req, unsigned int cmd, void* arg, const void* in, size_t inSize, size_t outSize) {
    SerialReply reply;
    {
        std::lock_guard lock(mutex_);
        reply = state_.Ioctl(IdOf(req), cmd, reinterpret_cast<uintptr_t>(arg),
                             {static_cast<const uint8_t*>(in), in ? inSize : 0}, outSize);
    }
    const auto r = static_cast<fuse_req_t>(req);
    if (reply.kind == SerialReply::Kind::NeedBuffers) {
        // The kernel fetches the argument from the program's pointer and asks again.
        const iovec inIov{arg, reply.inSize};
        const iovec outIov{arg, reply.outSize};
        fuse_reply_ioctl_retry(r, reply.inSize ? &inIov : nullptr, reply.inSize ? 1 : 0,
                               reply.outSize ? &outIov : nullptr, reply.outSize ? 1 : 0);
    } else if (reply.kind == SerialReply::Kind::Done && reply.error == 0) {
        fuse_reply_ioctl(r, reply.result, reply.data.empty() ? nullptr : reply.data.data(), reply.data.size());
    } else {
        Answer(req, reply);
    }
}

// An error now, or a request that waits: it may be given up (a signal) until answered.
void CuseDevice::Answer(void* req, const SerialReply& reply) {
    if (reply.kind == SerialReply::Kind::Pending)
        // Called after the state parked it: if already interrupted this runs OnInterrupt at once.
        fuse_req_interrupt_func(static_cast<fuse_req_t>(req), Interrupt, this);
    else
        fuse_reply_err(static_cast<fuse_req_t>(req), reply.error);
}

void CuseDevice::OnInterrupt(void* req) {
    // Never answer here: libfuse holds the request's lock. ServicePending answers right after.
    std::lock_guard lock(mutex_);
    state_.Interrupt(IdOf(req));
}

void CuseDevice::OnPoll(void* req, fuse_pollhandle* handle) {
    unsigned events = 0;
    {
        std::lock_guard lock(mutex_);
        if (handle) pollHandles_.push_back(handle);
        if (state_.Readable()) events |= POLLIN | POLLRDNORM;
        if (state_.Writable()) events |= POLLOUT | POLLWRNORM;
        readableSeen_ = state_.Readable();
        writableSeen_ = state_.Writable();
    }
    fuse_reply_poll(static_cast<fuse_req_t>(req), events);
}

// --- the link's and the user interface's threads ---------------------------------------------

void CuseDevice::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_.Get(), &one, sizeof one);
}

void CuseDevice::WakeIfNeededLocked() {
    if (state_.HasCompletions() || state_.Readable() != readableSeen_ || state_.Writable() != writableSeen_)
        Wake();
}

bool CuseDevice::DeliverToProgram(const uint8_t* data, size_t count) {
    if (ended_.load()) return false;
    std::lock_guard lock(mutex_);
    const size_t accepted = state_.DeliverToProgram({data, count});
    WakeIfNeededLocked();
    return accepted == count;
}

size_t CuseDevice::TakeFromProgram(uint8_t* buffer, size_t maxCount) {
    if (ended_.load()) return 0;
    std::lock_guard lock(mutex_);
    const size_t taken = state_.TakeFromProgram({buffer, maxCount});
    WakeIfNeededLocked();
    return taken;
}

size_t CuseDevice::BytesWaiting() {
    std::lock_guard lock(mutex_);
    return ended_.load() ? 0 : state_.BytesWaiting();
}

bool CuseDevice::IsOpen() {
    std::lock_guard lock(mutex_);
    return !ended_.load() && state_.IsOpen();
}

SerialSettings CuseDevice::Settings() {
    std::lock_guard lock(mutex_);
    return state_.Settings();
}

bool CuseDevice::Rts() {
    std::lock_guard lock(mutex_);
    return !ended_.load() && state_.Rts();
}

bool CuseDevice::Dtr() {
    std::lock_guard lock(mutex_);
    return !ended_.load() && state_.Dtr();
}

void CuseDevice::SetInputLine(bool asserted) {
    std::lock_guard lock(mutex_);
    state_.SetInputLine(asserted);
    WakeIfNeededLocked();
}

std::optional<pid_t> CuseDevice::OpenerPid() {
    std::lock_guard lock(mutex_);
    if (ended_.load()) return std::nullopt;
    return state_.OpenerPid();
}

}  // namespace qx
