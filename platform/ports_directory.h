#pragma once
// Where the virtual ports are published: a private directory of the user that holds one
// symlink "COM<n>" per port, pointing at the pseudo-terminal a radio program opens.
#include <string>

#include "core/error.h"

namespace qx {

// The ports directory, created if missing:
//   $QXM_PORTS_DIR when set (the user's choice, used as it is; a relative path is taken from
//   startDirectory, the directory the program was started in, or else the current one);
//   else $XDG_RUNTIME_DIR/qx-manager, private (0700);
//   else /tmp/qx-manager-<uid>, private (0700).
// The private ones are refused when they are a symlink, not a directory or owned by someone
// else (another user could otherwise read and write the radio's data); the refusal says why.
Expected<std::string> ResolvePortsDirectory(const std::string& startDirectory = "");

// Makes sure path is a directory of this user with mode 0700: creates it if missing, tightens
// its mode if it is ours, refuses a symlink, a non-directory or another owner; the refusal when
// it is not ready.
Expected<void> PreparePrivateDirectory(const std::string& path);

// True when path is a directory (or a link to one) this process may create names in.
bool IsWritableDirectory(const std::string& path);

// "COM<n>" with n 1..255 written without leading zeros gives n; anything else gives 0. Guards
// every name that becomes a path in the ports directory.
int PortNumberFromName(const std::string& name);

// Why name cannot be a port's name (PortNumberFromName gives 0 for it).
Error NotAPortName(const std::string& name);

// The name of port number n, "COM<n>", as radio programs and the settings know it.
std::string PortName(int number);

// Where port number n is published in directory: "<directory>/COM<n>".
std::string PortPath(const std::string& directory, int number);

}  // namespace qx
