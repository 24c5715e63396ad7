#include "app/port_component.h"

#include "vsp/cuse_port.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

std::unique_ptr<IVSPortAxClass> Make(const std::function<std::unique_ptr<IVSPortAxClass>(const std::string&)>& make,
                                     const std::string& directory, const std::string& what, std::string* error,
                                     const std::string& hint = "") {
    auto portClass = make ? make(directory) : nullptr;
    if (!portClass && error != nullptr) *error = "cannot serve " + what + " ports in " + directory + hint;
    return portClass;
}

}  // namespace

PortComponentMakers DefaultPortComponentMakers() {
    return {[](const std::string& directory) { return MakePtyPortClass(directory); },
            [](const std::string& directory) { return MakeCusePortClass(directory); }};
}

std::unique_ptr<IVSPortAxClass> ChoosePortComponent(const char* kind, const std::string& directory,
                                                    const PortComponentMakers& makers, std::string* error) {
    const std::string wanted = kind ? kind : "";
    if (wanted == "pty") return Make(makers.pty, directory, "pseudo-terminal", error);
    if (wanted == "cuse") return Make(makers.cuse, directory, "CUSE", error, " (can /dev/cuse be opened for reading and writing?)");
    if (!wanted.empty()) {
        if (error != nullptr) *error = "QXM_PORT_KIND must be \"pty\" or \"cuse\", not \"" + wanted + "\"";
        return nullptr;
    }
    if (makers.cuse)
        if (auto portClass = makers.cuse(directory)) return portClass;
    return Make(makers.pty, directory, "pseudo-terminal", error);
}

}  // namespace qx
