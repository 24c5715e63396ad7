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

struct CommandLine {
    StartMode mode = StartMode::kNormal;
    int languageOverride = 0;      // from "-l<id>", 0 = none
    bool firstArgHasTray = false;  // the first argument contains "-m": forward "hide"
};

// args are the arguments after the program name. Only the first is tested for a mode switch,
// by case-sensitive substring in the order -s, -m, -x, -a, -n; every argument containing "-l"
// is read as a language id from its third character on, and the last nonzero one wins.
// Malformed input never fails: an unreadable id is simply 0 (ignored).
CommandLine ParseCommandLine(const std::vector<std::string>& args);
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The request a second start forwards to the running instance: 2 (hide) when its first
// argument contained "-m", else 1 (show).
int ForwardedRequest(const CommandLine& commandLine);

}  // namespace qx
