#pragma once
// The device a hid backend opened, for tests that go on to use it: a failed open fails the test
// with the backend's reason and gives null.
#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "platform/hid.h"

namespace qx::test {

inline std::unique_ptr<HidDevice> Opened(Expected<std::unique_ptr<HidDevice>> opened) {
    if (!opened) {
        ADD_FAILURE() << "open failed: " << opened.error().message;
        return nullptr;
    }
    return std::move(*opened);
}

}  // namespace qx::test
