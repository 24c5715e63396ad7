#pragma once
// What the Ports page offers, computed without any window: the serial port numbers already in
// use on the machine, and the entries of the four channel port lists.
#include <array>
#include <string>
#include <vector>

#include "core/channel.h"

namespace qx {

// One flag (0 or 1) per port number; 1..255 are used, index 0 never is.
using UsedPortTable = std::array<int, kMaxPortNumber + 1>;

// The COM<n> names present in the ports directory stand for the machine's serial ports. An
// unreadable directory leaves every number free.
UsedPortTable ReadSystemPorts(const std::string& portsDirectory);

struct PortListEntry {
    std::string text;
    int portNumber = 0;  // 0 for "not selected" and "Not supported"
};

struct PortList {
    std::vector<PortListEntry> entries;
    int selected = 0;
    bool enabled = false;
};

struct PortsPageStrings {
    std::string notSelected;       // 121
    std::string currentSelection;  // 122
};

struct PortsPageInput {
    bool selected = false;  // false: no link designated by the selection
    std::array<bool, kChannelCount> present{};
    std::array<int, kChannelCount> portNumbers{};
    UsedPortTable used{};
};

std::array<PortList, kChannelCount> ComputePortLists(const PortsPageInput& input,
                                                     const PortsPageStrings& strings);

}  // namespace qx
