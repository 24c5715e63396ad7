#pragma once
// One running instance per user: a lock file decides who owns the run, and a Unix-domain
// socket beside it carries the requests of later starts (show, hide, exit) to the owner.
#include <memory>
#include <string>
#include <vector>

#include "platform/fd.h"

namespace qx {

enum InstanceRequest : int {
    kRequestShow = 1,
    kRequestHide = 2,
    kRequestExit = 3,
};

// $XDG_RUNTIME_DIR when set, else /tmp/qx-manager-<uid>.
std::string DefaultRuntimeDir();

class SingleInstance {
public:
    // Takes ownership of the run in dir (created 0700 when missing; refused when it is not a
    // directory owned by this user). Null when another instance owns it or it cannot be had.
    static std::unique_ptr<SingleInstance> Acquire(const std::string& dir);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The listening socket; the user interface thread watches it for readability.
    int Fd() const { return listener_.Get(); }
    // The valid requests (1..3) waiting, in arrival order; never blocks for long.
    // Connections from other users and malformed messages are dropped.
    std::vector<int> ReadRequests();

private:
    SingleInstance(UniqueFd lock, UniqueFd listener, std::string socketPath);

    UniqueFd lock_;
    UniqueFd listener_;
    std::string socketPath_;
};

// Sends one request to the instance owning dir. True when the owner (same user) took it;
// false when none listens or on any failure. Bounded by short timeouts, never hangs.
bool SendRequest(const std::string& dir, int code);

}  // namespace qx
