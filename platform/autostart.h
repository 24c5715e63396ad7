#pragma once
// Start with the desktop session: an XDG autostart entry ($XDG_CONFIG_HOME/autostart, default
// ~/.config/autostart) named after the value name, whose command is the given text.
#include <string>

#include "core/error.h"

namespace qx {

bool QueryAutostart(const std::string& valueName);
// Writes (set) or deletes (!set) the entry; or why it could not.
Expected<void> WriteAutostart(const std::string& command, const std::string& valueName, bool set);
// One argument of an entry's command line, quoted as desktop entries require when it holds a
// space or another reserved character; WriteAutostart applies it to the program path.
std::string QuoteExecArgument(const std::string& argument);
// The absolute path of the running program, so the entry starts it from any directory.
std::string ProgramPath();

// This program's own entry: it starts the program hidden in the tray ("-m").
constexpr const char* kRunValueName = "Halvorn QX Manager";
Expected<void> WriteProgramAutostart(bool set);

}  // namespace qx
