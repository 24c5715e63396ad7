#pragma once
// Starting a thread where the system may have none to give (a full thread table: `ulimit -u`, a
// container's pids.max): the failure comes back as an error with its cause instead of the
// exception that would end the whole program, keyed lines included. Any thread.
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/error.h"

namespace qx {

// what: the thread's job, for the message ("serving qx-COM5").
template <typename Body>
Expected<std::thread> StartThread(Body&& body, const std::string& what) {
    try {
        return std::thread(std::forward<Body>(body));
    } catch (const std::system_error& failed) {
        return Error::FromErrno(failed.code().value(), "starting the thread " + what);
    }
}

}  // namespace qx
