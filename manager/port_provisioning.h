#pragma once
// Giving a link's channels their virtual ports, and letting them go again. User interface
// thread only; binding and clearing a slot holds the link's portGuard.
#include <array>
#include <memory>
#include <set>
#include <vector>

#include "link/CHVInterface.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class PortProvisioning {
public:
    // removePortsOnDeviceRemoval: the program-wide setting, read at every release.
    PortProvisioning(IVSPortAxClass& portClass, const int& removePortsOnDeviceRemoval);

    bool CreateChannelPort(CHVInterface& link, Channel channel);
    bool ReleaseChannelPort(CHVInterface& link, Channel channel);
    void CreatePorts(CHVInterface& link);
    void ReleasePorts(CHVInterface& link);
    void UpdatePorts(CHVInterface& link, const std::array<int, kChannelCount>& portNumbers);
    void RemoveAllSystemPorts();
    // Gives every channel of links the port it waits for once the keying-port service answers
    // again; whether it did.
    bool CreatePortsWhenKeyingServiceAnswers(
        const std::vector<std::unique_ptr<CHVInterface>>& links);
    // Every 100 ms: keeps the link's ports served (IVSPortAx::KeepServed); whether one was lost
    // or served again.
    bool KeepServed(CHVInterface& link);

private:
    bool Refuse(CHVInterface& link, int number);

    IVSPortAxClass& portClass_;
    const int& removePortsOnDeviceRemoval_;
    std::set<int> boundNumbers_;  // the numbers of every bound slot of every link
};

}  // namespace qx
