#include "app/port_component.h"

#include "platform/cuse_helper_client.h"
#include "vsp/cuse_port.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

// Tries the makers in order; the first that serves wins, else the error lists every reason.
Expected<PortClass> FirstThatServes(std::initializer_list<const PortClassMaker*> makers,
                                    const std::string& directory, const std::string& what) {
    std::string reasons;
    for (const PortClassMaker* make : makers) {
        if (!*make) continue;
        Expected<PortClass> portClass = (*make)(directory);
        if (portClass && *portClass) return portClass;
        const std::string& why = portClass.error().message;
        if (!why.empty()) reasons += (reasons.empty() ? "" : "; ") + why;
    }
    return Error{0, "cannot serve " + what + " ports in " + directory +
                        (reasons.empty() ? "" : " (" + reasons + ")")};
}

}  // namespace

PortComponentMakers DefaultPortComponentMakers() {
    return {[](const std::string& directory) {
                return MakeCuseHelperPortClass(directory, CuseHelperSocketPath());
            },
            [](const std::string& directory) { return MakeCusePortClass(directory); },
            [](const std::string& directory) -> Expected<PortClass> {
                return MakePtyPortClass(directory);
            }};
}

Expected<PortClass> ChoosePortComponent(const char* kind, const std::string& directory,
                                        const PortComponentMakers& makers) {
    const std::string wanted = kind ? kind : "";
    if (wanted == "pty") return FirstThatServes({&makers.pty}, directory, "pseudo-terminal");
    if (wanted == "cuse") return FirstThatServes({&makers.helper, &makers.cuse}, directory, "CUSE");
    if (!wanted.empty())
        return Error{0, "QXM_PORT_KIND must be \"pty\" or \"cuse\", not \"" + wanted + "\""};
    return FirstThatServes({&makers.helper, &makers.cuse, &makers.pty}, directory, "virtual");
}

}  // namespace qx
