#pragma once
// What the Status page shows, computed from the selected link and its channel ports without any
// window: ten texts and the visibility of fourteen controls.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/channel.h"
#include "manager/channel_snapshot.h"
#include "manager/port_reading.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class CHVInterface;
class PortProvisioning;

// The texts the page takes from the string table (ids 110, 111, 116, 117, 118, 119, 183, 184,
// 187).
struct StatusStrings {
    std::string notSelected;
    std::string isOpenBy;
    std::string parameters;
    std::string cannotCreate;
    std::string notOpen;
    std::string baud;
    std::string bytesDropped;
    std::string waitingForInterface;  // "%s: waiting for interface %s": the ports, the key
    std::string keyingUnguarded;
};

// A port kept on the machine while its interface is away.
struct WaitingPortInput {
    std::string interfaceKey;
    int portNumber = 0;
    uint64_t droppedBytes = 0;  // what its programs wrote meanwhile
};

struct StatusPageInput {
    bool selected = false;  // false: no link designated by the selection
    ChannelSnapshots channels;
    std::vector<WaitingPortInput> waiting;  // whatever the selection
    KeyingPorts::State keying = KeyingPorts::State::kServed;
    std::string keyingText;        // what the user is told while keying ports are not served
    bool keyingUnguarded = false;  // no transmitter guard holds the selected interface
};

// Visibility: nullopt leaves a control as it was.
struct StatusPageView {
    std::array<std::string, kChannelCount> portNames;
    std::array<std::string, kChannelCount> holderLines;
    std::array<std::string, 2> parameterLines;  // CAT, FSK
    std::array<std::optional<bool>, kChannelCount> addPortVisible;
    std::array<std::optional<bool>, kChannelCount> holderVisible;
    std::array<std::optional<bool>, 2> parameterVisible;
    std::optional<bool> testControlsVisible;  // "PTT=RTS", "CW=DTR" and both "Test" buttons
    std::string waitingText;  // a line per interface that ports wait for; empty: none wait
};

constexpr const char* kNotSupportedText = "Not supported";  // the same in every language

// Reads the link's channels and ports; link null: nothing selected. Called on the user interface
// thread, the only one that binds or clears ports, so the instances stay valid meanwhile; the
// component serves these reads alongside the worker's.
StatusPageInput ReadStatusInput(CHVInterface* link);
// The ports kept while their interface is away, in the order their links let them go.
std::vector<WaitingPortInput> ReadWaitingPorts(const PortProvisioning& provisioning);

StatusPageView ComputeStatusPage(const StatusPageInput& input, const StatusStrings& strings);

// The path a radio program opens for the channel's port; empty while the port does not exist.
std::string PortPathText(const ChannelSnapshot& in, const std::string& portsDirectory);

// "Parameters: 9600 baud, 8, N, 1"
std::string ParameterLine(const PortReading& reading, const StatusStrings& strings);
// The file name and extension of a path.
std::string FileNameOf(const std::string& path);
// The enlarged height of the port-name font: height + height / 2, truncating toward zero.
constexpr int EnlargedFontHeight(int height) { return height + height / 2; }

}  // namespace qx
