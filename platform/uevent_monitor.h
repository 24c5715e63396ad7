#pragma once
// Device notices from the kernel's uevent stream (netlink, kernel messages only, so no udev
// daemon is needed): hidraw nodes coming and going.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/device_notices.h"

namespace qx {

// The device path reported, with an arrival and a removal of it, when the kernel dropped
// notices because they were not read in time: it names our device so that the user of the
// notices runs both a full scan and a removal check and catches up.
inline constexpr const char* kLostNoticesPath = "/devices/lost-notices/0003:0483:A1DE";

// One kernel uevent message (NUL-separated "KEY=value" fields after an "action@devpath"
// header). Only hidraw add and remove give a notice; anything else, or a malformed buffer,
// gives none.
std::optional<DeviceNotice> ParseUevent(const char* data, std::size_t size);

// True when a device path names our interface ("0483:A1DE", in the kernel's upper case).
bool NoticeNamesOurDevice(const std::string& devicePath);

// The notice source over a kernel uevent socket; null when the socket cannot be opened.
std::unique_ptr<DeviceNoticeSource> MakeUeventMonitor();

}  // namespace qx
