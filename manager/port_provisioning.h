#pragma once
// Giving a link's channels their virtual ports, and letting them go again. User interface
// thread only; binding and clearing a slot holds the link's portGuard.
//
// With "RemovePortsOnDeviceRemoval" off, the ports of a device that went stay on the machine:
// provisioning keeps them, by the interface's key and channel, until a link of that key takes
// them up again, so programs keep their descriptors across an unplug. Meanwhile a kept port is a
// serial port whose cable is unplugged: what its programs write is taken as it is written (on
// the port's own thread) and counted as dropped, reads wait, and its settings and keying lines
// stay as the programs set them. A take-up that fails leaves the port kept, and the manager's
// next pass tries again.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "link/CHVInterface.h"
#include "vsp/IVSPortAx.h"

namespace qx {

// A port kept on the machine while its interface is away.
struct KeptPort {
    std::string key;  // the interface's key
    Channel channel = kCat;
    int portNumber = 0;
    std::unique_ptr<IVSPortAx> instance;
    std::shared_ptr<CVSPDriver> sink;  // the link's sink, still attached: it flags changes
    uint32_t cookie = 0;
    uint64_t droppedBytes = 0;  // what its programs wrote while no interface served it
    // What the port's thread took since the user interface thread last added it to droppedBytes.
    uint64_t closeDropsSeen = 0;  // the port's BytesDroppedAtClose when last counted
    std::shared_ptr<std::atomic<uint64_t>> takenOnWrite =
        std::make_shared<std::atomic<uint64_t>>(0);
};

// Why a channel got no port.
struct PortNotMade {
    enum class Reason {
        kNoneWanted,   // no number (below 1), a setting that is not a number, or bound already
        kNumberTaken,  // another channel, of this or another interface, has the number
        kOutOfRange,   // above the highest port number
        kFailed,       // the component's reason, or the kept port's, in cause
    };
    Reason reason = Reason::kFailed;
    Error cause;  // what was attempted and why it failed; says the port's name
};

class PortProvisioning {
public:
    // removePortsOnDeviceRemoval: the program-wide setting, read at every release.
    PortProvisioning(IVSPortAxClass& portClass, const int& removePortsOnDeviceRemoval);

    // Takes up the port kept for the channel's key and number, if there is one (a take-up that
    // fails leaves it kept, to be tried again). A failure of the component is said in the
    // journal too.
    Expected<void, PortNotMade> CreateChannelPort(CHVInterface& link, Channel channel);
    // With "Ignore serial numbers" an interface that returns may have another key (its position):
    // a link whose key has no kept ports takes over those of a key no link of links has, with
    // their numbers for its channels. Before CreatePorts.
    void AdoptKeptPorts(CHVInterface& link,
                        const std::vector<std::unique_ptr<CHVInterface>>& links);
    bool ReleaseChannelPort(CHVInterface& link, Channel channel);
    void CreatePorts(CHVInterface& link);
    void ReleasePorts(CHVInterface& link);
    // The link goes with its device: as ReleasePorts, but a port that stays on the machine is
    // kept for the link's key.
    void ReleasePortsOfRemovedLink(CHVInterface& link);
    // Gives each channel whose number changed its new port; the last failure to make one that
    // was wanted.
    Expected<void, PortNotMade> UpdatePorts(CHVInterface& link,
                                            const std::array<int, kChannelCount>& portNumbers);
    // Deletes every port of the component, the kept ones included.
    void RemoveAllSystemPorts();
    // At exit: the kept ports are released as bound ones are.
    void ReleaseKeptPorts();

    // At each manager Tick: keeps the link's ports served (IVSPortAx::KeepServed); whether one was
    // lost or served again.
    bool KeepServed(CHVInterface& link);
    // At each manager Tick: counts what the programs of kept ports wrote, keeps those ports served
    // and gives links the kept ports whose take-up failed before; whether anything about them
    // changed (opened, closed, settings, bytes dropped).
    bool ServeKeptPorts(const std::vector<std::unique_ptr<CHVInterface>>& links);
    const std::vector<KeptPort>& KeptPorts() const { return kept_; }
    // Whether a port of links or a kept one waits to be served again (KeepServed is then due), or
    // a kept one waits for a link of links to take it up.
    bool AnyPortUnserved(const std::vector<std::unique_ptr<CHVInterface>>& links) const;
    // Gives every channel of links the port it waits for once the keying-port service answers
    // again; whether it did.
    bool CreatePortsWhenKeyingServiceAnswers(
        const std::vector<std::unique_ptr<CHVInterface>>& links);

private:
    PortNotMade Refuse(CHVInterface& link, int number, PortNotMade::Reason reason);
    bool Release(CHVInterface& link, Channel channel, bool keep);
    bool TakeUp(CHVInterface& link, Channel channel, KeptPort& kept);
    static void StartTakingUnserved(KeptPort& kept);
    static void StopTakingUnserved(KeptPort& kept);
    static uint64_t TakeDropped(KeptPort& kept);
    // A link of links whose channel waits for the kept port; null when none.
    static CHVInterface* LinkWaitingFor(const KeptPort& kept,
                                        const std::vector<std::unique_ptr<CHVInterface>>& links);
    void LetGoKeptPortsNotWanted(const CHVInterface& link);
    void LetGo(KeptPort& kept);

    IVSPortAxClass& portClass_;
    const int& removePortsOnDeviceRemoval_;
    std::set<int> boundNumbers_;  // the numbers of every bound slot of every link, and kept port
    std::vector<KeptPort> kept_;
};

}  // namespace qx
