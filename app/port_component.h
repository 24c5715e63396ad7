#pragma once
// The choice of virtual port component at start-up. CUSE ports carry real keying lines (RTS,
// DTR, CTS); an ordinary user gets them from the privileged helper, root by opening /dev/cuse
// itself. Pseudo-terminals work everywhere without them.
//   QXM_PORT_KIND=pty   pseudo-terminals only
//   QXM_PORT_KIND=cuse  CUSE only: through the helper, else /dev/cuse (fails, saying why, when
//   neither serves) unset or empty      the helper, else /dev/cuse, else pseudo-terminals
#include <functional>
#include <memory>
#include <string>

#include "core/error.h"
#include "vsp/IVSPortAx.h"

namespace qx {

// Makes one kind of class object for a ports directory, or says why it cannot.
using PortClass = std::unique_ptr<IVSPortAxClass>;
using PortClassMaker = std::function<Expected<PortClass>(const std::string& directory)>;

struct PortComponentMakers {
    PortClassMaker helper;  // CUSE through the privileged helper
    PortClassMaker cuse;    // CUSE with /dev/cuse opened by the program itself
    PortClassMaker pty;
};

// The real makers: MakeCuseHelperPortClass (at CuseHelperSocketPath()), MakeCusePortClass and
// MakePtyPortClass.
PortComponentMakers DefaultPortComponentMakers();

// What the user is told when ports have no keying lines (yet), in the user's language: the
// state and its reason.
std::string KeyingPortsText(const KeyingPorts& keying);

// kind: the value of QXM_PORT_KIND, or null when it is not set. The reason for an unknown kind
// or when the chosen component cannot serve the directory.
Expected<PortClass> ChoosePortComponent(const char* kind, const std::string& directory,
                                        const PortComponentMakers& makers);

}  // namespace qx
