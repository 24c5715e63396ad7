#pragma once
// The choice of virtual port component at start-up. CUSE ports carry real keying lines (RTS,
// DTR, CTS) but need /dev/cuse; pseudo-terminals work everywhere without them.
//   QXM_PORT_KIND=pty   pseudo-terminals only
//   QXM_PORT_KIND=cuse  CUSE only (fails when /dev/cuse cannot be opened)
//   unset or empty      CUSE when it can be served, pseudo-terminals otherwise
#include <functional>
#include <memory>
#include <string>

#include "vsp/IVSPortAx.h"

namespace qx {

// How to make each kind of class object for a ports directory; null when it cannot serve.
struct PortComponentMakers {
    std::function<std::unique_ptr<IVSPortAxClass>(const std::string& directory)> pty;
    std::function<std::unique_ptr<IVSPortAxClass>(const std::string& directory)> cuse;
};

// The real makers: MakePtyPortClass and MakeCusePortClass.
PortComponentMakers DefaultPortComponentMakers();

// kind: the value of QXM_PORT_KIND, or null when it is not set. Null with the reason in error
// for an unknown kind or when the chosen component cannot serve the directory.
std::unique_ptr<IVSPortAxClass> ChoosePortComponent(const char* kind, const std::string& directory,
                                                    const PortComponentMakers& makers, std::string* error);

}  // namespace qx
