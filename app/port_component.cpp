#include "app/port_component.h"

#include "platform/cuse_helper_client.h"
#include "vsp/cuse_port.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

// Tries the makers in order; the first that serves wins, else error lists every reason.
std::unique_ptr<IVSPortAxClass> FirstThatServes(std::initializer_list<const PortClassMaker*> makers,
                                                const std::string& directory,
                                                const std::string& what, std::string* error) {
    std::string reasons;
    for (const PortClassMaker* make : makers) {
        std::string why;
        if (auto portClass = *make ? (*make)(directory, &why) : nullptr) return portClass;
        if (!why.empty()) reasons += (reasons.empty() ? "" : "; ") + why;
    }
    if (error != nullptr)
        *error = "cannot serve " + what + " ports in " + directory +
                 (reasons.empty() ? "" : " (" + reasons + ")");
    return nullptr;
}

}  // namespace

PortComponentMakers DefaultPortComponentMakers() {
    return {[](const std::string& directory, std::string* why) {
                return MakeCuseHelperPortClass(directory, CuseHelperSocketPath(), why);
            },
            [](const std::string& directory, std::string* why) {
                return MakeCusePortClass(directory, why);
            },
            [](const std::string& directory, std::string*) { return MakePtyPortClass(directory); }};
}

std::unique_ptr<IVSPortAxClass> ChoosePortComponent(const char* kind, const std::string& directory,
                                                    const PortComponentMakers& makers,
                                                    std::string* error) {
    const std::string wanted = kind ? kind : "";
    if (wanted == "pty") return FirstThatServes({&makers.pty}, directory, "pseudo-terminal", error);
    if (wanted == "cuse")
        return FirstThatServes({&makers.helper, &makers.cuse}, directory, "CUSE", error);
    if (!wanted.empty()) {
        if (error != nullptr)
            *error = "QXM_PORT_KIND must be \"pty\" or \"cuse\", not \"" + wanted + "\"";
        return nullptr;
    }
    return FirstThatServes({&makers.helper, &makers.cuse, &makers.pty}, directory, "virtual",
                           error);
}

}  // namespace qx
