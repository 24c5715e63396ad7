#include "platform/user_scope.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace qx {
namespace {

constexpr uint64_t kBusTimeoutMicroseconds = 2000000;

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// The user service manager's own socket, as systemctl --user reaches it; else the user's bus.
Expected<Bus> ConnectToUserManager() {
    sd_bus* raw = nullptr;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && sd_bus_new(&raw) >= 0) {
        Bus bus(raw);
        const std::string address = std::string("unix:path=") + runtime + "/systemd/private";
        if (sd_bus_set_address(bus.get(), address.c_str()) >= 0 && sd_bus_start(bus.get()) >= 0)
            return bus;
    }
    raw = nullptr;
    const int result = sd_bus_open_user(&raw);
    if (result < 0) return Error::FromErrno(-result, "reaching the user's service manager");
    return Bus(raw);
}

}  // namespace

Expected<void> MoveIntoScopeOfItsOwn(const std::string& name, const std::string& description) {
    Expected<Bus> bus = ConnectToUserManager();
    if (!bus) return bus.error();
    sd_bus_set_method_call_timeout(bus->get(), kBusTimeoutMicroseconds);
    sd_bus_message* raw = nullptr;
    int result = sd_bus_message_new_method_call(
        bus->get(), &raw, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
        "org.freedesktop.systemd1.Manager", "StartTransientUnit");
    const Message call(raw);
    if (result >= 0)
        result =
            sd_bus_message_append(call.get(), "ssa(sv)a(sa(sv))", name.c_str(), "fail", 3, "PIDs",
                                  "au", 1, static_cast<uint32_t>(::getpid()), "Description", "s",
                                  description.c_str(), "CollectMode", "s", "inactive-or-failed", 0);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (result >= 0) result = sd_bus_call(bus->get(), call.get(), 0, &error, nullptr);
    if (result >= 0) return {};
    Error failed{-result,
                 "making the scope " + name + ": " +
                     (sd_bus_error_is_set(&error) ? error.message : std::strerror(-result))};
    sd_bus_error_free(&error);
    return failed;
}

}  // namespace qx
