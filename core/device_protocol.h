#pragma once
// The device's wire facts, shared by the link and the simulated device: its USB ids and the
// layout of its 64-byte reports.

namespace qx {

constexpr int kReportSize = 64;
constexpr int kMaxPayload = 62;  // data bytes in one channel report
constexpr int kCommandReportId = 1;
constexpr int kLineReportId = 3;  // the line report always carries id 3
// The line flags, byte 1 of the line report.
constexpr unsigned char kPttBit = 0x01;  // PTT, from the PTT/CW port's RTS
constexpr unsigned char kCwBit = 0x02;   // CW, from its DTR
constexpr unsigned short kVendorId = 0x0483;
constexpr unsigned short kProductId = 0xA1DE;
constexpr const char* kModelName = "QX-4";

}  // namespace qx
