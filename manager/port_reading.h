#pragma once
// What a channel's virtual port reports about itself: whether a program holds it, which, and
// with which settings. Read on the user interface thread, which alone binds and clears ports.
#include <string>

namespace qx {

class IVSPortAx;

// A port whose reads failed counts as not open, so one faulty port does not hide the others.
struct PortReading {
    bool open = false;
    std::string openerPath;
    int baudRate = 0;
    int dataBits = 0;
    int parity = 0;
    int stopBits = 0;
};

// What the port reports: whether a program holds it, which, and (withParameters) its
// settings. Any failed read gives a port that is not open.
PortReading ReadPortStatus(IVSPortAx& port, bool withParameters);

// "N", "O", "E", "M", "S" for a parity code; "1", "1.5", "2" for a stop-bit code.
const char* ParityLetter(int parity);
const char* StopBitsText(int stopBits);
double StopBitsCount(int stopBits);  // the same as a number

}  // namespace qx
