#pragma once
// One running instance per user: a lock file decides who owns the run, and a Unix-domain
// socket beside it carries the requests of later starts (show, hide, exit, and queries that
// carry text) to the owner, who answers each one once it has handled it. Reading a request never
// waits for its sender: each connection's bytes are gathered as they come, between other work. The
// answer is a blocking send on the owner's (user interface) thread, bounded by a one-second
// send timeout for a sender that stopped reading.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "platform/fd.h"

namespace qx {

enum InstanceRequest : int {
    kRequestShow = 1,
    kRequestHide = 2,
    kRequestExit = 3,
    kRequestText = 4,  // followed by the query's text; answered with text
};

// The longest query text, and the longest answer a sender takes.
constexpr std::size_t kMaxRequestText = 4096;
constexpr std::size_t kMaxAnswerText = 1 << 20;

// $XDG_RUNTIME_DIR when set, else /tmp/qx-manager-<uid>.
std::string DefaultRuntimeDir();
// The lock file of the run in dir.
std::string RunLockPath(const std::string& dir);

// Why the run could not be had.
struct LockFailure {
    enum Kind {
        kHeld,        // another process owns the run
        kNotPrivate,  // the folder is not a directory of this user that only this user can write
        kSystem,      // a call failed: attempt on path, with errno in error
    };
    Kind kind = kSystem;
    std::string path;     // the folder or file concerned
    std::string attempt;  // kSystem: the call that failed
    int error = 0;        // kSystem: its errno
    uid_t owner = 0;      // kNotPrivate: what was found
    mode_t mode = 0;
    bool isDirectory = true;
};

// The owner of the run. User interface thread only.
class SingleInstance {
public:
    // Takes ownership of the run in dir (created 0700 when missing; refused when it is not a
    // directory owned by this user that others cannot write); why not, when another instance
    // owns it or it cannot be had.
    static Expected<std::unique_ptr<SingleInstance>, LockFailure> Acquire(const std::string& dir);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Readable when a later start connects or sends part of its request (-1 once listening
    // stopped); the user interface thread watches it.
    int Fd() const { return watch_.Get(); }
    // Takes the connections waiting and what each has sent so far, without blocking, and hands
    // every request that is whole (its sender has ended its side) to handle, answering the
    // sender after handle returned; text queries go to answerText, whose result is the answer
    // (without answerText they are closed unanswered). A request still coming waits for the
    // next call, up to kRequestDeadline after its connection. Connections from other users and
    // malformed messages are closed unanswered. Stops early when a handler stops the listening.
    void ServeRequests(
        const std::function<void(int code)>& handle,
        const std::function<std::string(const std::string& query)>& answerText = nullptr);
    // The run is ending: requests waiting or coming later go unanswered, so their senders wait
    // for the end of this run instead of handing their request to it. The lock is kept.
    void StopListening();

    // How long a connection may take to send its whole request; a sender is never hurried, and
    // one that never finishes cannot hold a place for long.
    static constexpr std::chrono::seconds kRequestDeadline{10};
    // Connections whose requests are still coming; beyond it the oldest is let go.
    static constexpr std::size_t kMaxPendingConnections = 16;

private:
    struct Connection {
        UniqueFd fd;
        std::string bytes;  // what came so far
        std::chrono::steady_clock::time_point deadline;
    };
    struct Request {
        UniqueFd fd;
        int code = 0;
        std::string text;  // kRequestText only
    };

    SingleInstance(UniqueFd lock, UniqueFd listener, UniqueFd watch, std::string socketPath);
    void AcceptWaiting();
    std::vector<Request> TakeWholeRequests();

    UniqueFd lock_;
    UniqueFd listener_;
    UniqueFd watch_;  // epoll over the listener and the pending connections
    std::string socketPath_;
    std::deque<Connection> pending_;  // in the order they connected
};

// Sends one request to the instance owning dir and waits up to answerBound for it to be
// handled; a request the owner closed unanswered, or that found the run held and none listening
// yet (an owner starting), is sent again while time is left. Fails with ENOENT or
// ECONNREFUSED when none listens (none runs, or it is ending), ETIMEDOUT when it was not
// answered in time, ECONNRESET when the owner kept closing it unanswered, EPERM when the socket is
// another user's, EINVAL for a code outside 0..255. When owner is given and the owner was reached,
// it receives a process descriptor (pidfd) of the owner's process, whose end WaitUntilProcessEnds
// can wait for.
Expected<void> SendRequest(const std::string& dir, int code,
                           std::chrono::milliseconds answerBound = std::chrono::seconds(5),
                           UniqueFd* owner = nullptr);
// Sends a text query to the instance owning dir and waits up to answerBound for its whole
// answer; fails as SendRequest does, and with EMSGSIZE when the query is longer than
// kMaxRequestText or the answer longer than kMaxAnswerText.
Expected<std::string> SendTextRequest(
    const std::string& dir, const std::string& query,
    std::chrono::milliseconds answerBound = std::chrono::seconds(5));
// Whether a failed request found nobody listening (none runs, or it is ending).
bool NoneListened(const Error& error);
// Whether a process owns the run in dir now.
bool IsRunHeld(const std::string& dir);
// Waits until no process owns the run in dir; false when one still does after bound.
bool WaitUntilRunEnds(const std::string& dir, std::chrono::milliseconds bound);
// Waits until the process of the pidfd process has ended (at once when it is not valid);
// false when it still runs after bound.
bool WaitUntilProcessEnds(const UniqueFd& process, std::chrono::milliseconds bound);

}  // namespace qx
