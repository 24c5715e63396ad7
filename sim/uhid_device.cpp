#include "sim/uhid_device.h"

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qx {

namespace {

constexpr uint8_t kFirstReportId = 1;
constexpr uint8_t kLastReportId = 5;

bool IsOurReportId(uint8_t id) { return id >= kFirstReportId && id <= kLastReportId; }

uhid_event Event(uint32_t type) {
    uhid_event event;
    std::memset(&event, 0, sizeof event);
    event.type = type;
    return event;
}

// Copies a text into a fixed field of the create request, always leaving it terminated.
template <std::size_t N>
void CopyText(uint8_t (&field)[N], const std::string& text) {
    std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), length);
    field[length] = 0;
}

}  // namespace

std::vector<uint8_t> QxReportDescriptor() {
    std::vector<uint8_t> rd = {
        0x06, 0x00, 0xFF,  // usage page: vendor defined 0xFF00
        0x09, 0x01,        // usage 1
        0xA1, 0x01,        // collection: application
        0x15, 0x00,        //   logical minimum 0
        0x26, 0xFF, 0x00,  //   logical maximum 255
        0x75, 0x08,        //   report size: 8 bits
    };
    for (uint8_t id = kFirstReportId; id <= kLastReportId; ++id) {
        const uint8_t report[] = {
            0x85, id,    // report id
            0x95, 63,    // report count: 63 bytes after the id
            0x09, 0x01,  // usage 1
            0x81, 0x02,  // input: data, variable, absolute
            0x09, 0x01,  // usage 1
            0x91, 0x02,  // output: data, variable, absolute
        };
        rd.insert(rd.end(), std::begin(report), std::end(report));
    }
    rd.push_back(0xC0);  // end collection
    return rd;
}

namespace {

// A command or reply text: up to its terminating 0, other bytes than printable ASCII escaped.
std::string TextOf(const uint8_t* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 1; i < size && data[i] != 0; ++i) {
        if (data[i] >= 0x20 && data[i] < 0x7F) {
            text += static_cast<char>(data[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", data[i]);
            text += escaped;
        }
    }
    return text;
}

// "<id>:" and the bytes after it in hex, trailing zeros left out but one byte always shown.
std::string HexOf(const uint8_t* data, std::size_t size) {
    std::size_t used = size;
    while (used > 2 && data[used - 1] == 0) --used;
    std::string line = std::to_string(data[0]) + ":";
    for (std::size_t i = 1; i < used; ++i) {
        char item[8];
        std::snprintf(item, sizeof item, " %02X", data[i]);
        line += item;
    }
    return line;
}

}  // namespace

std::string DescribeReport(const uint8_t* data, std::size_t size) {
    if (size == 0) return "EMPTY";
    return data[0] == 1 ? "CMD " + TextOf(data, size) : "REPORT " + HexOf(data, size);
}

std::string DescribeInput(const UhidReport& report) {
    return "INPUT " + (report[0] == 1 ? "1: " + TextOf(report.data(), report.size())
                                      : HexOf(report.data(), report.size()));
}

UniqueFd OpenUhid() { return UniqueFd(::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK)); }

UhidDevice::UhidDevice(UniqueFd uhid, UhidFirmware& firmware, Log log)
    : uhid_(std::move(uhid)), firmware_(firmware), log_(std::move(log)) {}

UhidDevice::~UhidDevice() { Destroy(); }

bool UhidDevice::Create(const UhidIdentity& identity) {
    uhid_event event = Event(UHID_CREATE2);
    auto& create = event.u.create2;
    CopyText(create.name, identity.name);
    CopyText(create.phys, "qx-uhid");
    CopyText(create.uniq, identity.serial);
    std::vector<uint8_t> rd = QxReportDescriptor();
    std::memcpy(create.rd_data, rd.data(), rd.size());
    create.rd_size = static_cast<uint16_t>(rd.size());
    create.bus = BUS_USB;
    create.vendor = identity.vendorId;
    create.product = identity.productId;
    created_ = Send(event);
    log_(created_ ? "CREATE " + identity.serial
                  : "CREATE failed: " + std::string(std::strerror(errno)));
    return created_;
}

void UhidDevice::Destroy() {
    if (!created_) return;
    Send(Event(UHID_DESTROY));
    created_ = started_ = opened_ = false;
    log_("DESTROY");
}

bool UhidDevice::HandleEvents() {
    for (;;) {
        uhid_event event = Event(0);  // the kernel may send short events: the rest reads as 0
        ssize_t n = ::read(uhid_.Get(), &event, sizeof event);
        if (n > 0) {
            HandleEvent(event);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void UhidDevice::HandleEvent(const uhid_event& event) {
    switch (event.type) {
    case UHID_START:
        started_ = true;
        log_("START");
        break;
    case UHID_STOP:
        started_ = opened_ = false;
        log_("STOP");
        break;
    case UHID_OPEN:
        opened_ = true;
        log_("OPEN");
        break;
    case UHID_CLOSE:
        opened_ = false;
        log_("CLOSE");
        break;
    case UHID_OUTPUT:
        PassOutput(event.u.output.data, std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX));
        break;
    case UHID_GET_REPORT: AnswerGetReport(event); break;
    case UHID_SET_REPORT: AnswerSetReport(event); break;
    default: log_("EVENT " + std::to_string(event.type) + " ignored"); break;
    }
}

// The device has no feature reports and keeps no input state to read back, so a read of an
// input report returns zeros and anything else fails; an answer is owed either way, since the
// kernel holds the caller until it comes.
void UhidDevice::AnswerGetReport(const uhid_event& event) {
    const auto& request = event.u.get_report;
    uhid_event reply = Event(UHID_GET_REPORT_REPLY);
    reply.u.get_report_reply.id = request.id;
    if (request.rtype == UHID_INPUT_REPORT && IsOurReportId(request.rnum)) {
        reply.u.get_report_reply.size = sizeof(UhidReport);
        reply.u.get_report_reply.data[0] = request.rnum;
    } else {
        reply.u.get_report_reply.err = EIO;
    }
    log_("GET_REPORT " + std::to_string(request.rnum) +
         (reply.u.get_report_reply.err ? " refused" : ""));
    Send(reply);
}

// An output report may also come as a set-report request; it goes to the firmware like any
// other. Feature reports do not exist.
void UhidDevice::AnswerSetReport(const uhid_event& event) {
    const auto& request = event.u.set_report;
    uhid_event reply = Event(UHID_SET_REPORT_REPLY);
    reply.u.set_report_reply.id = request.id;
    if (request.rtype == UHID_OUTPUT_REPORT && IsOurReportId(request.rnum)) {
        PassOutput(request.data, std::min<std::size_t>(request.size, UHID_DATA_MAX));
    } else {
        reply.u.set_report_reply.err = EIO;
        log_("SET_REPORT " + std::to_string(request.rnum) + " refused");
    }
    Send(reply);
}

// Reports shorter than 64 bytes are padded with zeros and longer ones cut, so the firmware
// always sees exactly one report.
void UhidDevice::PassOutput(const uint8_t* data, std::size_t size) {
    UhidReport report{};
    std::copy_n(data, std::min(size, report.size()), report.begin());
    log_(DescribeReport(data, std::min(size, report.size())));
    if (size > 0 && IsOurReportId(data[0])) firmware_.ReceiveOutput(report);
}

void UhidDevice::SendInput() {
    UhidReport report;
    if (!started_ || !opened_ || !firmware_.NextInput(report)) return;
    uhid_event event = Event(UHID_INPUT2);
    event.u.input2.size = report.size();
    std::copy(report.begin(), report.end(), event.u.input2.data);
    log_(Send(event) ? DescribeInput(report)
                     : std::string("INPUT failed: ") + std::strerror(errno));
}

bool UhidDevice::Send(const uhid_event& event) {
    for (;;) {
        ssize_t n = ::write(uhid_.Get(), &event, sizeof event);
        if (n == static_cast<ssize_t>(sizeof event)) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n >= 0) errno = EIO;
        return false;
    }
}

}  // namespace qx
