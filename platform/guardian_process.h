#pragma once
// The keying guardian's own side, run by the qx-guardian executable (see keying_guardian.h for
// the program's side and why it is a process of its own).
namespace qx {

// Follows the program's hand-overs on descriptor 3, with the shared line flags on descriptor 4,
// until the program has gone; then writes CW off, then PTT off, to every device it still holds,
// each on a thread of its own so that a stalled device holds up no other. Returns the exit code.
int RunKeyingGuardian();

// The last line of defence after the program's service has ended however it ended: writes CW
// off, then PTT off, to every interface present, unless a run of the program holds them (a
// desktop instance of the same user, which the service's start only handed its request).
// Returns the exit code: 0, or 1 when an interface could not be released (said on standard
// error).
int ReleaseEveryInterface();

}  // namespace qx
