#include "manager/port_reading.h"

#include "vsp/IVSPortAx.h"

namespace qx {

const char* ParityLetter(int parity) {
    switch (parity) {
    case kParityOdd: return "O";
    case kParityEven: return "E";
    case kParityMark: return "M";
    case kParitySpace: return "S";
    default: return "N";
    }
}

const char* StopBitsText(int stopBits) {
    switch (stopBits) {
    case kStopBitsOne: return "1";
    case kStopBitsOnePointFive: return "1.5";
    default: return "2";
    }
}

double StopBitsCount(int stopBits) {
    switch (stopBits) {
    case kStopBitsOne: return 1;
    case kStopBitsOnePointFive: return 1.5;
    default: return 2;
    }
}

// Any failed read makes the whole port count as not open, rather than showing partial data.
PortReading ReadPortStatus(IVSPortAx& port, bool withParameters) {
    PortReading reading;
    const std::optional<bool> open = port.IsOpen();
    if (!open || !*open) return reading;
    const std::optional<std::string> path = port.GetOpenerPath();
    if (!path) return reading;
    reading.openerPath = *path;
    if (withParameters) {
        const auto baud = port.GetBaudRate();
        const auto dataBits = port.GetDataBits();
        const auto parity = port.GetParity();
        const auto stopBits = port.GetStopBits();
        if (!baud || !dataBits || !parity || !stopBits) return PortReading{};
        reading.baudRate = *baud;
        reading.dataBits = *dataBits;
        reading.parity = *parity;
        reading.stopBits = *stopBits;
    }
    reading.open = true;
    return reading;
}

}  // namespace qx
