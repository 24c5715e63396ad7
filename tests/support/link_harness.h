#pragma once
// Drives one link by hand against one simulated device and keeps every report the device
// received together with the number of the tick (from 1) that sent it. Besides ticking by hand
// it runs the worker's schedule on simulated time, where a tick is a millisecond.
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
    // One pass `elapsed` ticks after the last; its reports carry the pass's tick. A pass later
    // than the link asked for stands for its due tick alone: the ticks it was late for are lost.
    void Pass(int elapsed);
    // Lets `ms` of simulated time go by, running the passes the link asks for by time.
    void RunFor(int ms);
    // News now (a port event, a request, a device report): a pass at once, but never two
    // within one tick.
    void News();
    // Closes the link, keeping the reports its closing wrote (with the tick of the last pass).
    void Close();
    // Gives the channel a FakePort (open or not) and returns its state.
    std::shared_ptr<FakePortState> AddPort(Channel channel, bool open = true);

    std::vector<std::pair<int, int>> Lines() const;             // (tick, line flags)
    std::vector<std::pair<int, std::string>> Commands() const;  // (tick, command text)
    std::vector<SentReport> DataReports(int reportId) const;
    std::string PayloadOf(const SentReport& report) const;

    SimHidBackend backend;
    std::shared_ptr<SimDevice> device;
    CHVInterface link{backend};
    int ticks = 0;    // the tick of the last pass
    int now = 0;      // simulated time, from RunFor
    int64_t due = 1;  // when the link wants its next pass, in ticks after the last
    int passes = 0;
    std::vector<SentReport> sent;

private:
    void Record(std::size_t receivedBefore);
};

// A device that never answers commands, for tests of the report channel alone.
SimDeviceConfig SilentDevice();

}  // namespace qx::test
