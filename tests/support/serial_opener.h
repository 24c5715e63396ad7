#pragma once
// A radio program's side of a virtual port for tests: opens the port's path and chooses its
// settings with the exact-rate termios call, as serial libraries do.
#include <string>

#include "platform/fd.h"

namespace qx::test {

class SerialOpener {
public:
    explicit SerialOpener(const std::string& path);
    bool Valid() const { return fd_.Valid(); }
    // parity: 'N', 'O', 'E', 'M' or 'S'; stopBits 1 or 2. False when the port refused it.
    bool SetSettings(int baudRate, int dataBits, char parity, int stopBits);
    void Close() { fd_.Reset(); }

private:
    UniqueFd fd_;
};

}  // namespace qx::test
