#include <gtest/gtest.h>

#include "core/device_protocol.h"
#include "platform/hid.h"

namespace qx {
namespace {

// No hardware is assumed: the backend must answer plainly, whatever the machine has.
TEST(HidrawBackend, AbsentDevicesOpenNothing) {
    auto backend = MakeHidrawBackend();
    for (const auto& info : backend->Enumerate(kVendorId, kProductId)) {
        EXPECT_EQ(info.vendorId, kVendorId);
        EXPECT_EQ(info.productId, kProductId);
    }
    EXPECT_EQ(backend->OpenPath("/dev/qx-no-such-hidraw"), nullptr);
    const std::string serial =
        "QX4-\xC3\xA9-\xFF-NOT-CONNECTED";  // also not valid UTF-8 at the end
    EXPECT_EQ(backend->Open(kVendorId, kProductId, &serial), nullptr);
}

}  // namespace
}  // namespace qx
