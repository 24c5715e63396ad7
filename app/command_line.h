#pragma once
// What a process start was asked to do, read from its arguments.
#include <string>
#include <vector>

namespace qx {

enum class StartMode {
    kNormal,        // no mode switch: run, window state as stored
    kShow,          // "-s": run and show the window
    kTray,          // "-m": run hidden in the tray (the switch of the autostart entry)
    kExitAll,       // "-x": tell the running instance to exit, then end
    kAutostartOn,   // "-a": write the autostart entry, then end
    kAutostartOff,  // "-n": delete the autostart entry, then end
};

// "--set-port <serial> <channel> <n>": the operands as given; the running instance checks them.
struct SetPortOperands {
    std::string serial;
    std::string channel;
    std::string number;
};

struct CommandLine {
    StartMode mode = StartMode::kNormal;
    int languageOverride = 0;      // from "-l<id>", 0 = none
    bool firstArgHasTray = false;  // the first argument contains "-m": forward "hide"

    // Switches beginning with "--", taken out before the single-dash switches are read.
    bool help = false;  // also "-h"
    bool version = false;
    bool headless = false;
    bool trace = false;
    bool status = false;
    bool json = false;
    bool setPort = false;
    SetPortOperands setPortOperands;
    std::string error;  // a switch that is unknown or misused: the one-line error, else empty
};

// args are the arguments after the program name. Arguments beginning with "--" (and the three
// operands of --set-port) are read as long switches and taken out, as is "-h" (help); of the rest,
// only the first is tested for a mode switch, by case-sensitive substring in the order -s, -m, -x,
// -a, -n; every argument containing "-l" is read as a language id from its third character on, and
// the last nonzero one wins. Malformed input never fails: an unreadable id is simply 0 (ignored).
CommandLine ParseCommandLine(const std::vector<std::string>& args);
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The request a second start forwards to the running instance: 2 (hide) when its first
// argument contained "-m", else 1 (show).
int ForwardedRequest(const CommandLine& commandLine);

// The usage hint that follows an error on standard error.
std::string UsageHint();
// The --help text: usage, switches, environment variables, and where the settings file
// (iniPath) and the ports (portsDir, or why they cannot be had) are.
std::string HelpText(const std::string& iniPath, const std::string& portsDir);

}  // namespace qx
