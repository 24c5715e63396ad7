#pragma once
// Starting the program with the desktop session, switched by -a/-n and the Settings page.
// User interface thread (or the start, before it).

namespace qx {

// Writes (on) or removes the program's autostart entry; false when it could not, after saying
// why on standard error (the journal), in the user's language.
bool SwitchProgramAutostart(bool on);

}  // namespace qx
