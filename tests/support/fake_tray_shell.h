#pragma once
// A tray shell that records every call and can be told to fail or to have no tray.
#include <vector>

#include "ui/tray_shell.h"

namespace qx::test {

struct FakeTrayLog {
    struct Call {
        TrayOperation operation;
        TrayRecord record;
    };
    std::vector<Call> calls;
    std::vector<std::vector<TrayMenuItem>> menus;  // menus shown
    std::vector<TrayRecord> notices;               // balloons sent without an icon
    bool available = true;
    bool notifications = true;  // the desktop has a notification service
    bool failing = false;
    int menuChoice = 0;          // the command "chosen" from a menu, 0: none
    TrayShell* shell = nullptr;  // the shell logging here, to raise its events
};

class FakeTrayShell final : public TrayShell {
public:
    explicit FakeTrayShell(FakeTrayLog& log) : log_(log) { log_.shell = this; }
    bool Available() const override { return log_.available; }
    bool Notify(TrayOperation operation, const TrayRecord& record) override {
        log_.calls.push_back({operation, record});
        // Like the desktop's: nothing can be added or changed without a tray.
        return !log_.failing && (log_.available || operation == kTrayDelete);
    }
    bool NotifyWithoutIcon(const TrayRecord& record) override {
        log_.notices.push_back(record);
        return !log_.failing && log_.notifications;
    }
    int TrackMenu(const std::vector<TrayMenuItem>& items) override {
        log_.menus.push_back(items);
        return log_.menuChoice;
    }

private:
    FakeTrayLog& log_;
};

}  // namespace qx::test
