#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

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
    const auto byPath = backend->OpenPath("/dev/qx-no-such-hidraw");
    EXPECT_FALSE(byPath);
    // What was attempted and the system's reason, for whoever logs the failure.
    EXPECT_EQ(byPath.error().code, ENOENT);
    EXPECT_EQ(byPath.error().message,
              std::string("opening /dev/qx-no-such-hidraw: ") + std::strerror(ENOENT));
    const std::string serial =
        "QX4-\xC3\xA9-\xFF-NOT-CONNECTED";  // also not valid UTF-8 at the end
    const auto bySerial = backend->Open(kVendorId, kProductId, &serial);
    EXPECT_FALSE(bySerial);
    EXPECT_NE(bySerial.error().code, 0);
    EXPECT_NE(bySerial.error().message.find("0483:A1DE with serial number " + serial),
              std::string::npos)
        << bySerial.error().message;
}

}  // namespace
}  // namespace qx
