#pragma once
// Balloons as the desktop's notifications, which, unlike the tray's own messages, can be
// replaced by the next one and closed when they no longer hold.
#include <functional>
#include <string>

namespace qx {

class BalloonService {
public:
    virtual ~BalloonService() = default;
    // False when the desktop has no notification service right now.
    virtual bool Available() = 0;
    // Shows a notification in place of the one with id replaces (0: a new one); its id, or 0
    // when the service did not take it.
    virtual unsigned Show(unsigned replaces, const std::string& title, const std::string& text,
                          unsigned timeoutMs) = 0;
    virtual void Close(unsigned id) = 0;
    // The service closed a notification by itself (expired, dismissed by the user).
    std::function<void(unsigned id)> onClosed;
};

}  // namespace qx
