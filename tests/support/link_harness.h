#pragma once
// Drives one link by hand against one simulated device and keeps every report the device
// received together with the number of the tick (from 1) that sent it.
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "link/CHVInterface.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/fake_port.h"

namespace qx::test {

struct SentReport {
    int tick;
    std::array<uint8_t, 64> bytes;
};

class LinkHarness {
public:
    explicit LinkHarness(SimDeviceConfig config = {});
    ~LinkHarness();

    void Tick(int count = 1);
    // Gives the channel a FakePort (open or not) and returns its state.
    std::shared_ptr<FakePortState> AddPort(Channel channel, bool open = true);

    std::vector<std::pair<int, int>> Lines() const;                 // (tick, line flags)
    std::vector<std::pair<int, std::string>> Commands() const;      // (tick, command text)
    std::vector<SentReport> DataReports(int reportId) const;
    std::string PayloadOf(const SentReport& report) const;

    SimHidBackend backend;
    std::shared_ptr<SimDevice> device;
    CHVInterface link{backend};
    int ticks = 0;
    std::vector<SentReport> sent;
};

// A device that never answers commands, for tests of the report channel alone.
SimDeviceConfig SilentDevice();

}  // namespace qx::test
