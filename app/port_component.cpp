#include "app/port_component.h"

#include "app/strings.h"
#include "platform/cuse_helper_client.h"
#include "vsp/cuse_port_class.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

constexpr int kStrWaitingForService = 190;
constexpr int kStrKeyingUnavailable = 191;

// A class object whose ports have no keying lines, saying why as the choice found it.
class WithoutKeying final : public IVSPortAxClass {
public:
    WithoutKeying(PortClass inner, std::string reason)
        : inner_(std::move(inner)), reason_(std::move(reason)) {}

    std::unique_ptr<IVSPortAx> CreateInstance() override { return inner_->CreateInstance(); }
    std::string PortsDirectory() const override { return inner_->PortsDirectory(); }
    std::string Kind() const override { return inner_->Kind(); }
    KeyingPorts Keying() const override { return {KeyingPorts::State::kUnavailable, reason_}; }

private:
    const PortClass inner_;
    const std::string reason_;
};

// Tries the makers in order; the first that serves wins, else the error lists every reason.
// When a later one serves without keying lines, the first refusal says why.
Expected<PortClass> FirstThatServes(std::initializer_list<const PortClassMaker*> makers,
                                    const std::string& directory, const std::string& what) {
    std::string reasons, firstReason;
    for (const PortClassMaker* make : makers) {
        if (!*make) continue;
        Expected<PortClass> portClass = (*make)(directory);
        if (portClass && *portClass) {
            if (firstReason.empty() ||
                (*portClass)->Keying().state != KeyingPorts::State::kUnavailable)
                return portClass;
            return PortClass(std::make_unique<WithoutKeying>(std::move(*portClass), firstReason));
        }
        const std::string& why = portClass.error().message;
        if (why.empty()) continue;
        reasons += (reasons.empty() ? "" : "; ") + why;
        if (firstReason.empty()) firstReason = why;
    }
    return Error{0, "cannot serve " + what + " ports in " + directory +
                        (reasons.empty() ? "" : " (" + reasons + ")")};
}

}  // namespace

std::string KeyingPortsText(const KeyingPorts& keying) {
    switch (keying.state) {
    case KeyingPorts::State::kServed: return {};
    case KeyingPorts::State::kWaiting: return LoadLocalizedString(kStrWaitingForService);
    case KeyingPorts::State::kUnavailable: break;
    }
    return FormatTexts(LoadLocalizedString(kStrKeyingUnavailable), {keying.reason});
}

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
    if (wanted == "pty") {
        Expected<PortClass> pty = FirstThatServes({&makers.pty}, directory, "pseudo-terminal");
        if (!pty) return pty;
        return PortClass(std::make_unique<WithoutKeying>(std::move(*pty), "QXM_PORT_KIND=pty"));
    }
    if (wanted == "cuse") return FirstThatServes({&makers.helper, &makers.cuse}, directory, "CUSE");
    if (!wanted.empty())
        return Error{0, "QXM_PORT_KIND must be \"pty\" or \"cuse\", not \"" + wanted + "\""};
    return FirstThatServes({&makers.helper, &makers.cuse, &makers.pty}, directory, "virtual");
}

}  // namespace qx
