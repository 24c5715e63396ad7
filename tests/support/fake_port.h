#pragma once
// A test double of the virtual port component: what a radio program would do to a port (open
// it, raise RTS/DTR, choose settings, write bytes) is set by the test, and what the system did
// to the port (bytes written, input line, creation, sinks) is recorded for it. Any operation can
// be made to fail. Thread-safe, so a link's real worker may use it while a test inspects it.
//
// A FakePort's state lives in a shared FakePortState, which outlives the instance: a test (or a
// FakePortClass) keeps it to look at a port after the system has dropped the instance.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vsp/IVSPortAx.h"

namespace qx::test {

struct FakePortState {
    mutable std::mutex mutex;

    // Set by the test: the program's side.
    bool open = false;
    bool rts = false;
    bool dtr = false;
    int baudRate = 9600;
    int dataBits = 8;
    int parity = kParityNone;
    int stopBits = kStopBitsOne;
    std::string openerPath;
    std::string fromProgram;   // bytes the program wrote and the system has not taken
    int readClaim = -1;        // >= 0: ReadFromPort claims this count (a misbehaving component)
    bool failing = false;      // every operation fails outright (nullopt / false)
    bool createFails = false;  // CreatePort fails: "creating <name>: File exists"
    bool reuseFails = false;   // ReusePort fails: "reusing <name>: Permission denied"
    bool servedAgain = false;  // the next KeepServed reports a change, once
    bool adviseFails = false;  // Advise attaches no sink

    // Recorded: the system's side.
    std::string toProgram;  // bytes the system wrote into the port
    // A write that would leave toProgram longer is refused whole (a program that stopped reading).
    std::size_t capacity = SIZE_MAX;
    int writeCalls = 0;
    bool inputLine = false;
    std::string name;  // the name it was created or reused under, "" when deleted
    int createCalls = 0;
    int reuseCalls = 0;
    int deleteCalls = 0;
    int deleteAllCalls = 0;
    std::optional<bool> creationFlag;
    int keepServedCalls = 0;
    std::map<uint32_t, std::shared_ptr<IVSPortAxEvents>> sinks;
    uint32_t nextCookie = 1;

    // Test helpers (they lock).
    void SetOpen(bool value);
    void SetLines(bool rtsValue, bool dtrValue);
    void SetSettings(int baud, int data, int parityCode, int stopBitsCode);
    void ProgramWrites(const std::string& bytes);  // fires kEventBytesWritten into an empty buffer
    std::string TakeToProgram();
    void Fire(int dispatchId);  // calls every attached sink
    std::size_t SinkCount() const;
};

class FakePort final : public IVSPortAx {
public:
    explicit FakePort(std::shared_ptr<FakePortState> state = std::make_shared<FakePortState>());
    FakePortState& State() { return *state_; }
    std::shared_ptr<FakePortState> SharedState() const { return state_; }

    Expected<void> CreatePort(const std::string& name) override;
    void DeletePort() override;
    bool WriteToPort(const uint8_t* data, int count) override;
    std::optional<int> ReadFromPort(uint8_t* buffer, int maxCount) override;
    std::optional<bool> IsOpen() override;
    std::optional<int> BytesWaiting() override;
    void DeleteAllPorts() override;
    Expected<void> ReusePort(const std::string& name) override;
    bool SetInputLine(bool asserted) override;
    void SetCreationFlag(bool flag) override;
    bool KeepServed() override;
    std::optional<int> GetParity() override;
    std::optional<int> GetStopBits() override;
    std::optional<int> GetDataBits() override;
    std::optional<int> GetBaudRate() override;
    std::optional<std::string> GetOpenerPath() override;
    std::optional<bool> GetRts() override;
    std::optional<bool> GetDtr() override;
    bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) override;
    void Unadvise(uint32_t cookie) override;

private:
    template <typename T>
    std::optional<T> Get(T FakePortState::*field);

    std::shared_ptr<FakePortState> state_;
};

// A class object making FakePorts; it keeps the state of every instance it made, in order.
class FakePortClass final : public IVSPortAxClass {
public:
    explicit FakePortClass(std::string portsDirectory = "/tmp/qx-fake-ports");
    std::unique_ptr<IVSPortAx> CreateInstance() override;
    std::string PortsDirectory() const override { return portsDirectory_; }
    std::string Kind() const override { return "fake"; }
    KeyingPorts Keying() const override { return keying; }
    bool KeyingServiceAnswersAgain() override { return std::exchange(answersAgain, false); }

    KeyingPorts keying;
    bool answersAgain = false;  // the next KeyingServiceAnswersAgain says so, once
    bool failCreateInstance = false;
    bool createFails = false;  // given to every instance made from now on
    bool reuseFails = false;
    std::vector<std::shared_ptr<FakePortState>> made;

private:
    std::string portsDirectory_;
};

}  // namespace qx::test
