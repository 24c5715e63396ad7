#pragma once
// One running instance per user: a lock file decides who owns the run, and a Unix-domain
// socket beside it carries the requests of later starts (show, hide, exit, and queries that
// carry text) to the owner, who answers each one once it has handled it.
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

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
        kNone,
        kHeld,        // another process owns the run
        kNotPrivate,  // the folder is not a directory of this user that only this user can write
        kSystem,      // a call failed: attempt on path, with errno in error
    };
    Kind kind = kNone;
    std::string path;     // the folder or file concerned
    std::string attempt;  // kSystem: the call that failed
    int error = 0;        // kSystem: its errno
    uid_t owner = 0;      // kNotPrivate: what was found
    mode_t mode = 0;
    bool isDirectory = true;
};

class SingleInstance {
public:
    // Takes ownership of the run in dir (created 0700 when missing; refused when it is not a
    // directory owned by this user that others cannot write). Null, with the reason in failure
    // when given, when another instance owns it or it cannot be had.
    static std::unique_ptr<SingleInstance> Acquire(const std::string& dir,
                                                   LockFailure* failure = nullptr);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The listening socket (-1 once listening stopped); the user interface thread watches it.
    int Fd() const { return listener_.Get(); }
    // Hands the valid requests (1..3) waiting, in arrival order, to handle, and answers each
    // sender after handle returned; text queries go to answerText, whose result is the answer
    // (without answerText they go unanswered). Never blocks for long. Connections from other
    // users and malformed messages are dropped unanswered. Stops early when a handler stops
    // the listening.
    void ServeRequests(
        const std::function<void(int code)>& handle,
        const std::function<std::string(const std::string& query)>& answerText = nullptr);
    // The run is ending: requests waiting or coming later go unanswered, so their senders wait
    // for the end of this run instead of handing their request to it. The lock is kept.
    void StopListening();

private:
    SingleInstance(UniqueFd lock, UniqueFd listener, std::string socketPath);

    UniqueFd lock_;
    UniqueFd listener_;
    std::string socketPath_;
};

// Sends one request to the instance owning dir and waits up to answerBound for its answer.
// True when the owner (same user) handled it; false when none listens, it is ending, or on
// any failure. When owner is given and the owner was reached, it receives a process
// descriptor (pidfd) of the owner's process, whose end WaitUntilProcessEnds can wait for.
bool SendRequest(const std::string& dir, int code,
                 std::chrono::milliseconds answerBound = std::chrono::seconds(5),
                 UniqueFd* owner = nullptr);
// Sends a text query to the instance owning dir and waits up to answerBound for its whole
// answer; nullopt when none listens, it is ending, it does not answer in time, or the query is
// longer than kMaxRequestText.
std::optional<std::string> SendTextRequest(
    const std::string& dir, const std::string& query,
    std::chrono::milliseconds answerBound = std::chrono::seconds(5));
// Whether a process owns the run in dir now.
bool IsRunHeld(const std::string& dir);
// Waits until no process owns the run in dir; false when one still does after bound.
bool WaitUntilRunEnds(const std::string& dir, std::chrono::milliseconds bound);
// Waits until the process of the pidfd process has ended (at once when it is not valid);
// false when it still runs after bound.
bool WaitUntilProcessEnds(const UniqueFd& process, std::chrono::milliseconds bound);

}  // namespace qx
