#pragma once
// A "QX-4" made visible to the kernel through /dev/uhid: the kernel sees a USB HID device (a
// hidraw node, uevents, an entry in hidapi's enumeration) whose reports are served by firmware
// running in this process. Tests use it on kernels that have uhid, so the real hidraw path,
// device notices and unplugs are exercised without hardware.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/fd.h"

struct uhid_event;

namespace qx {

// One 64-byte report, report id first, as hidraw passes it.
using UhidReport = std::array<uint8_t, 64>;

// The firmware behind the device: the only thing the transport knows of it.
class UhidFirmware {
public:
    virtual ~UhidFirmware() = default;
    virtual void ReceiveOutput(const UhidReport& report) = 0;  // a report the host wrote
    virtual bool NextInput(UhidReport& report) = 0;            // a report for the host; false: none
};

struct UhidIdentity {
    std::string name = "Halvorn QX-4";  // hidapi's product string
    std::string serial = "QX4SIM0001";  // uniq: hidapi's serial number
    uint16_t vendorId = 0x0483;
    uint16_t productId = 0xA1DE;
};

// Vendor-defined 63-byte input and output reports with report ids 1 to 5, so every report
// the host reads or writes is 64 bytes with the report id first.
std::vector<uint8_t> QxReportDescriptor();

// One log line for a report the host wrote: "CMD <text>" for a command (report id 1), the
// report id and its bytes in hex (trailing zeros left out) for the rest.
std::string DescribeReport(const uint8_t* data, std::size_t size);
// One log line for a report passed to the host: "INPUT 1: <text>" for a reply, else
// "INPUT <id>:" and the bytes in hex, so a log shows when each answer went out.
std::string DescribeInput(const UhidReport& report);

// Opens /dev/uhid non-blocking; invalid when the kernel has no uhid or access is denied.
UniqueFd OpenUhid();

class UhidDevice {
public:
    using Log = std::function<void(const std::string& line)>;

    // uhid: an open, non-blocking /dev/uhid, or anything that speaks its events one per
    // read and write. log receives every event and every report the host writes.
    UhidDevice(UniqueFd uhid, UhidFirmware& firmware, Log log);
    ~UhidDevice();  // an unplug, if the device still exists
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    bool Create(const UhidIdentity& identity);
    void Destroy();

    int Fd() const { return uhid_.Get(); }
    // Handles every event the kernel has queued; call when Fd() is readable. False once the
    // descriptor fails.
    bool HandleEvents();
    // Passes the host the next input report the firmware has ready; call once a millisecond.
    // One per call, as a full-speed interrupt endpoint delivers one report per 1 ms frame, and
    // none while no program has the device open, as nobody polls the endpoint then.
    void SendInput();

private:
    void HandleEvent(const uhid_event& event);
    void AnswerGetReport(const uhid_event& event);
    void AnswerSetReport(const uhid_event& event);
    void PassOutput(const uint8_t* data, std::size_t size);
    bool Send(const uhid_event& event);

    UniqueFd uhid_;
    UhidFirmware& firmware_;
    Log log_;
    bool created_ = false;
    bool started_ = false;
    bool opened_ = false;
};

}  // namespace qx
