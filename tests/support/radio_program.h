#pragma once
// A radio program's side of a virtual serial port, for tests: opens the COM<n> path, sets the
// line settings the way such programs do, and moves bytes with bounded waits.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fd.h"

namespace qx::test {

enum class ProgramParity { kNone, kOdd, kEven, kMark, kSpace };

class RadioProgram {
public:
    // Opens path for reading and writing (non-blocking, no controlling terminal); check Valid().
    explicit RadioProgram(const std::string& path);

    bool Valid() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }
    void Close() { fd_.Reset(); }

    // Any rate (non-standard ones through BOTHER), 5 to 8 data bits, 1 or 2 stop bits.
    bool Configure(int baudRate, int dataBits, ProgramParity parity, int stopBits);

    // Writes all of data, waiting for room at most until timeout; the count written.
    size_t Write(const std::vector<uint8_t>& data,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until count bytes arrived or timeout passed; what arrived.
    std::vector<uint8_t> Read(size_t count,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    UniqueFd fd_;
};

}  // namespace qx::test
