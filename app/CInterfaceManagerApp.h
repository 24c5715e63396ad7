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
#include "app/port_component.h"
#include "app/termination_signals.h"
#include "manager/config_store.h"
#include "platform/hid_service.h"
#include "platform/single_instance.h"
#include "vsp/IVSPortAx.h"

namespace qx {

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
    // A notice of the start for the window to show once it is up ("" for none); stderr and the
    // journal have had it already.
    const std::string& startNotice;
};

class CInterfaceManagerApp {
public:
    // Builds and runs the main window until it ends, then destroys it; the exit code.
    std::function<int(RunningServices&)> runWindow;
    // Shows a start-up failure to the user; the text also goes to stderr in any case.
    std::function<void(const std::string&)> showError;
    // The hid backend of the run, chosen by the program at start-up; the kernel's hidraw
    // devices unless the program chose otherwise. Called once this start holds the run and the
    // settings file is found, so the factory may write settings (GiveSimulatedInterfacesPorts).
    HidServiceFactory makeHidService = MakeHidrawService;

    // How long a start waits for the running instance.
    InstanceWaits instanceWaits;

    // args are the arguments after the program name; returns the process's exit code.
    int Run(const std::vector<std::string>& args);

    // The virtual port component's class object, chosen by QXM_PORT_KIND (see
    // app/port_component.h), or why it cannot serve. A relative QXM_PORTS_DIR is taken from
    // startDirectory.
    static Expected<PortClass> MakePortClass(const std::string& startDirectory);

private:
    // The run itself, headless or with the window, under a trace when one is asked for.
    int Serve(RunningServices& services);
};

// Simulated interfaces whose section in the settings file has no port key yet get the ports
// COM<4i-3> to COM<4i> (interface i from 1, in the order of serialNumbers), so trying the
// program without hardware shows ports a radio program can open at once. Ports the user chose
// later are kept.
void GiveSimulatedInterfacesPorts(const std::vector<std::string>& serialNumbers);

}  // namespace qx
