#pragma once
// The virtual serial port component: one instance is one virtual COM port that radio programs
// open; the system is its far end. Every operation may be called from any thread.
//
// Making a port says why it failed. The operations a link calls on every pass return an empty
// optional (or false) instead; callers treat such a port as not open for the moment.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"

namespace qx {

// Parity codes and stop-bit codes as the component reports them.
enum ParityCode : int {
    kParityNone = 0,
    kParityOdd = 1,
    kParityEven = 2,
    kParityMark = 3,
    kParitySpace = 4
};
enum StopBitsCode : int { kStopBitsOne = 0, kStopBitsOnePointFive = 1, kStopBitsTwo = 2 };

// Dispatch ids of the events a port fires.
enum PortEvent : int {
    kEventBytesWritten = 1,     // the program wrote bytes and BytesWaiting was 0 before them
    kEventOpened = 5,           // a program opened the port
    kEventClosed = 6,           // the last program closed it
    kEventSettingsChanged = 7,  // the program changed speed or framing
    kEventLinesChanged = 10,    // the program changed RTS or DTR
};

// The event interface of a port. The component holds its sinks by shared ownership, so a sink
// lives as long as its connection.
class IVSPortAxEvents {
public:
    virtual ~IVSPortAxEvents() = default;
    virtual void Invoke(int dispatchId) = 0;
};

class IVSPortAx {
public:
    virtual ~IVSPortAx() = default;

    // Publishes the port under name, "COM<n>"; or why not (the name is taken, the device
    // cannot be made), with what was attempted.
    virtual Expected<void> CreatePort(const std::string& name) = 0;
    virtual void DeletePort() = 0;  // the port leaves the machine
    virtual bool WriteToPort(const uint8_t* data, int count) = 0;
    // Takes up to maxCount bytes the program wrote; the count taken, or nullopt on failure.
    virtual std::optional<int> ReadFromPort(uint8_t* buffer, int maxCount) = 0;
    virtual std::optional<bool> IsOpen() = 0;
    virtual std::optional<int> BytesWaiting() = 0;
    // Bytes programs wrote that the port threw away at their last close, before anyone took
    // them (nothing a program left behind reaches the next one); a running count, which starts
    // again from 0 when the port's device is replaced.
    virtual uint64_t BytesDroppedAtClose() { return 0; }
    virtual void DeleteAllPorts() = 0;  // every port of the component
    // As CreatePort, taking over a name an earlier run left; tried after CreatePort failed.
    virtual Expected<void> ReusePort(const std::string& name) = 0;
    virtual bool SetInputLine(bool asserted) = 0;  // a modem-status input of the program
    virtual void SetCreationFlag(bool flag) = 0;
    // For a port whose device can end apart from the port (a keying port's relay): notices that
    // it ended, says so once, and asks for the port's name again, no more often than a back-off
    // allows. True when the port was lost or is served again since the last call. Called by the
    // user interface thread when a port's sink tells of news and, while any port is Unserved,
    // every 100 ms.
    virtual bool KeepServed() { return false; }
    // The port's name is held but nothing serves it now (its relay was lost or is still ending).
    virtual bool Unserved() { return false; }
    // The data bits to report where the port cannot see the program's own (a pseudo-terminal
    // always shows 8): set per channel before CreatePort. Ports that see them ignore it.
    virtual void SetAssumedDataBits(int /*dataBits*/) {}
    virtual std::optional<int> GetParity() = 0;
    virtual std::optional<int> GetStopBits() = 0;
    virtual std::optional<int> GetDataBits() = 0;
    virtual std::optional<int> GetBaudRate() = 0;
    virtual std::optional<std::string> GetOpenerPath() = 0;
    virtual std::optional<bool> GetRts() = 0;
    virtual std::optional<bool> GetDtr() = 0;

    // The event connection point: attach a sink and get its cookie; detach it by the cookie.
    virtual bool Advise(std::shared_ptr<IVSPortAxEvents> sink, uint32_t& cookie) = 0;
    virtual void Unadvise(uint32_t cookie) = 0;
};

// Whether the component's ports carry the keying lines RTS and DTR.
struct KeyingPorts {
    enum class State {
        kServed,
        kWaiting,      // they come from a service that does not answer yet
        kUnavailable,  // not in this run
    };
    State state = State::kServed;
    std::string reason;  // why not, with the fix where there is one; empty when served
};

// The component's class object: obtained once at start-up, it makes every instance.
class IVSPortAxClass {
public:
    virtual ~IVSPortAxClass() = default;
    virtual std::unique_ptr<IVSPortAx> CreateInstance() = 0;  // null when no instance can be made
    virtual std::string PortsDirectory() const = 0;           // where COM<n> names are published
    virtual std::string Kind() const = 0;                     // "pseudo-terminal" or "CUSE"
    virtual KeyingPorts Keying() const { return {}; }
    // While Keying() is waiting: asks the service again once its back-off has passed; true when
    // it answers now, so ports that could not be made may be made again. User interface thread.
    virtual bool KeyingServiceAnswersAgain() { return false; }
    // While Keying() is waiting: when KeyingServiceAnswersAgain is next worth calling.
    virtual std::chrono::steady_clock::time_point KeyingServiceDue() const { return {}; }
};

}  // namespace qx
