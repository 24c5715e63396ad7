#pragma once
// The user's own folders and a safe way to replace a file in them.
#include <sys/types.h>

#include <string>

namespace qx {

// $HOME, else the password database's home; "" when neither is known.
std::string HomeDirectory();
// An XDG base folder: the variable's value when it is an absolute path (relative values are to
// be ignored), else the home directory followed by fallback (e.g. "/.local/share"); with no
// home known, the fallback relative to the current directory.
std::string XdgBaseDirectory(const char* variable, const char* fallback);
// Creates the folder and any missing parents (mode 0700); true when it exists afterwards.
bool MakeDirectories(const std::string& path);
// Writes the bytes to a new file beside path and renames it over path, so the old file stays
// whole until the new one is complete. False, with path untouched and the cause in errno, on
// any failure.
bool ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode);
// Renames path to newPath, never over an existing file (EEXIST). False with errno.
bool MoveWithoutReplacing(const std::string& path, const std::string& newPath);

}  // namespace qx
