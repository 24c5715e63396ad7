#pragma once
// The application object: turns a process start into exactly one running instance. It finds
// the settings file, reads the command line, runs the one-shot switches, forwards the request
// of a second start to the running instance, checks the virtual port component, and runs the
// main window (supplied by the user interface) between start-up and shutdown.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/instance_start.h"
#include "app/termination_signals.h"
#include "manager/config_store.h"
#include "platform/hid.h"
#include "platform/single_instance.h"
#include "vsp/IVSPortAx.h"

namespace qx {


class SimControlDirectory;

// The hid backend of the run and, for simulated devices, their outside control.
struct HidService {
    HidService();
    HidService(HidService&&) noexcept;
    ~HidService();
    std::unique_ptr<HidBackend> backend;           // null when none could be chosen
    std::unique_ptr<SimControlDirectory> control;  // goes before the backend it controls
    int simulatedDevices = 0;                      // how many of the devices are simulated
};

// What the running instance hands to its window.
struct RunningServices {
    HidBackend& hid;
    IVSPortAxClass& portClass;
    ProgramSettings& program;
    SingleInstance& instance;
    const CommandLine& commandLine;
    TerminationSignals& termination;
    // Set by the window while it lives: shows a notice (balloon or message box) to the user.
    std::function<void(const std::string&)>& showNotice;
};

class CInterfaceManagerApp {
public:
    // Builds and runs the main window until it ends, then destroys it; the exit code.
    std::function<int(RunningServices&)> runWindow;
    // Shows a start-up failure to the user; the text also goes to stderr in any case.
    std::function<void(const std::string&)> showError;

    // How long a start waits for the running instance.
    InstanceWaits instanceWaits;

    // args are the arguments after the program name; returns the process's exit code.
    int Run(const std::vector<std::string>& args);

    // The virtual port component's class object, chosen by QXM_PORT_KIND (see
    // app/port_component.h); null (with the reason) when it cannot serve.
    static std::unique_ptr<IVSPortAxClass> MakePortClass(std::string* error);
    // QXM_SIMULATED_DEVICES=<n> selects n simulated interfaces, unset the real hidraw devices;
    // no backend (with the reason) for a value that is not a device count. With simulated
    // devices, QXM_SIM_CONTROL_DIR=<dir> lets files there plug and unplug them.
    static HidService MakeHidService(std::string* error);
};

// The device count of QXM_SIMULATED_DEVICES: 0..kMaxSimulatedDevices, -1 when not a count.
constexpr int kMaxSimulatedDevices = 16;
int ParseSimulatedDeviceCount(const std::string& text);

// Simulated interfaces whose section in the settings file has no port key yet get the ports
// COM<4i-3> to COM<4i> (interface i from 1), so trying the program without hardware shows
// ports a radio program can open at once. Ports the user chose later are kept.
void GiveSimulatedInterfacesPorts(int count);

}  // namespace qx
