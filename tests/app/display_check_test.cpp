#include "app/display_check.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(DisplayCheck, TheWindowIsMadeOnlyWhereQtsPlatformCanReachADisplay) {
    struct Case {
        const char *platform, *x11, *wayland;
        bool available;
    } const cases[] = {
        {nullptr, nullptr, nullptr, false},  // an ssh session
        {"", "", "", false},
        {nullptr, ":0", nullptr, true},
        {nullptr, nullptr, "wayland-0", true},
        {"xcb:nograb", nullptr, "wayland-0", false},
        {"wayland-egl", ":0", nullptr, false},
        {"wayland;xcb", ":0", nullptr, true},
        {"offscreen", nullptr, nullptr, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DisplayAvailable(c.platform, c.x11, c.wayland), c.available) << (&c - cases);
}

}  // namespace
}  // namespace qx
