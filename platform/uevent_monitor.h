#pragma once
// Device notices: hidraw nodes coming and going. udev's broadcast where a udev daemon runs (it
// comes after the rules have given the node to the user); the kernel's own uevents otherwise
// (containers, minimal systems), which arrive before any rule has run.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
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

// Where notices come from; the chooser below and the start-up message agree through it.
enum class NoticeOrigin { kUdev, kKernel };
// A running udev daemon is known by its control socket (libudev itself uses the same test).
NoticeOrigin ChooseNoticeOrigin(const std::string& udevControlPath = "/run/udev/control");

// The notice source of ChooseNoticeOrigin(); a udev monitor that cannot be opened falls back to
// the kernel's uevents (the reason goes to standard error). Null when neither opens.
std::unique_ptr<DeviceNoticeSource> MakeUeventMonitor();

// The two sources: udev's with the failed step and errno when it cannot be had; the kernel's
// null when it cannot be had.
Expected<std::unique_ptr<DeviceNoticeSource>> MakeUdevMonitor();
std::unique_ptr<DeviceNoticeSource> MakeKernelUeventMonitor();

// The notice for one udev message: hidraw "add" and "remove" only.
std::optional<DeviceNotice> UdevNotice(const char* action, const char* devicePath);

}  // namespace qx
