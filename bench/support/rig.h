#pragma once
// What the relay and soak benchmarks share: simulated interfaces run the way the program runs
// them (a manager on real pseudo-terminal ports in a private HOME and ports directory, every
// channel given a port from the settings file), a record stream whose gaps and reorderings a
// reader can find, and the process figures they print.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "manager/CHVInterfaceManager.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/temp_home.h"

namespace qx::bench {

// The port number device (from 1) gets for channel: 11..14 for the first, 21..24 for the next.
constexpr int PortNumberOf(int device, Channel channel) { return device * 10 + channel + 1; }

class Rig {
public:
    Rig();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Plugs count more devices with all four ports in the settings file and waits until each
    // link has finished its start-up exchange; false when one did not within a few seconds.
    bool AddInterfaces(int count);
    // True once every link's start-up commands are answered (its version text arrived).
    bool LinksStarted() const;

    std::string PortPath(int device, Channel channel) const;
    // Waits until the link of device reports its channel port open (with open false: closed,
    // so the close of a program that has gone was seen); call on the main thread.
    bool WaitPortOpen(int device, Channel channel, std::chrono::milliseconds timeout,
                      bool open = true);
    IVSPortAx* Port(int device, Channel channel);  // null while device has no link; main thread

    SimHidBackend& Backend() { return backend_; }
    SimDevice& Device(int number) { return *backend_.Device(number); }
    CHVInterfaceManager& Manager() { return *manager_; }
    const std::string& PortsDirectory() const { return portsDir_; }

private:
    CHVInterface* LinkOf(int device);

    test::TempHome home_;
    std::string portsDir_;
    std::unique_ptr<IVSPortAxClass> portClass_;
    ProgramSettings settings_;
    SimHidBackend backend_;
    std::unique_ptr<CHVInterfaceManager> manager_;
};

// A byte stream of numbered 10-byte records, "000000042\n", so a reader can tell a lost or
// reordered byte from the next record number. It holds no ';', so on the CAT channel the
// simulated transceiver never answers it.
class RecordWriter {
public:
    static constexpr std::size_t kRecordSize = 10;
    // The next count bytes of the stream (count a multiple of kRecordSize).
    std::string Next(std::size_t count);

private:
    uint64_t next_ = 0;
};

class RecordReader {
public:
    // Takes bytes in arrival order. The first whole record after Resynchronize (and at the
    // start) sets where the stream stands; after it each record must carry the next number.
    void Take(const char* data, std::size_t count);
    void Take(const std::string& data) { Take(data.data(), data.size()); }
    // Forgets the stream position: bytes may have been lost for a known reason (the port was
    // closed, the device unplugged).
    void Resynchronize();

    uint64_t bytes = 0;           // every byte taken
    uint64_t lostBytes = 0;       // records skipped while in step, in bytes
    uint64_t reorderings = 0;     // records whose number went backwards
    uint64_t damagedRecords = 0;  // records that were not ten digits and a newline

private:
    void TakeRecord();

    std::string partial_;
    bool inStep_ = false;
    bool aligned_ = false;  // partial_ starts at a record boundary
    uint64_t expected_ = 0;
};

struct ProcessFigures {
    long rssKb = 0;  // VmRSS
    long hwmKb = 0;  // VmHWM
    int fds = 0;     // entries of /proc/self/fd
};
ProcessFigures ReadProcessFigures();
double ProcessCpuSeconds();
// Context switches of all the process's threads so far: each time a thread slept and woke again
// (or was put aside), so their rate is the process's wake-ups per second.
uint64_t ProcessWakeups();

}  // namespace qx::bench
