#pragma once
// A dbus-daemon of the test's own, listening on a socket in a folder of the test, so tests can
// offer and use bus services without the desktop's session bus.
#include <sys/types.h>

#include <string>

namespace qx::test {

class PrivateBus {
public:
    explicit PrivateBus(const std::string& folder);
    ~PrivateBus();  // ends the daemon
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The bus address; empty when the daemon could not be started.
    const std::string& Address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace qx::test
