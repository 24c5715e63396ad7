#include "app/display_check.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(DisplayCheck, TheWindowIsMadeOnlyWhereQtsPlatformCanReachADisplay) {
    struct Case {
        const char* platform;
        const char* x11;
        const char* wayland;
        bool available;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, false},  // an ssh session
        {"", "", "", false},
        {nullptr, ":0", nullptr, true},
        {nullptr, nullptr, "wayland-0", true},
        {"xcb", nullptr, "wayland-0", false},
        {"xcb:nograb", ":1", nullptr, true},
        {"wayland", ":0", nullptr, false},
        {"wayland-egl", nullptr, "wayland-1", true},
        {"wayland;xcb", ":0", nullptr, true},
        {"wayland;xcb", nullptr, nullptr, false},
        {"offscreen", nullptr, nullptr, true},
        {"vnc:size=800x600", nullptr, nullptr, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DisplayAvailable(c.platform, c.x11, c.wayland), c.available)
            << (c.platform ? c.platform : "(unset)") << " DISPLAY=" << (c.x11 ? c.x11 : "")
            << " WAYLAND_DISPLAY=" << (c.wayland ? c.wayland : "");
    }
}

}  // namespace
}  // namespace qx
