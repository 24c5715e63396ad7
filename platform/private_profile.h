#pragma once
// Profile (INI) file access with the semantics of the classic private-profile functions:
// case-insensitive section and key names, defaults for what is missing, writes that create the
// section and key in place and keep every other byte of the file. UTF-16LE files (with byte-order
// mark) stay UTF-16LE; UTF-8 or unmarked files stay as they are. Texts are UTF-8.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/profile_document.h"

namespace qx {

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path);
// At most 4095 characters of the value, or of the default when the key is missing.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path);
// False, with the cause in errno, when the file could not be written; the old file is then left
// as it was. A symbolic link in place of the file stays a link: the write goes to its target.
// A file nobody may write to (the user made it read-only) is never replaced: EACCES.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

// Several reads and writes of one profile file with a single read and at most a single write:
// the file is read when the edit is made, Set changes the bytes in memory, and Commit replaces
// the file once, atomically, with all of them. Reads see the edit's own changes.
class ProfileEdit {
public:
    explicit ProfileEdit(const std::string& path);

    int GetInt(const std::string& section, const std::string& key, int defaultValue) const;
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) const;
    // False (EINVAL in errno, nothing changed) for what a profile line cannot hold.
    bool Set(const std::string& section, const std::string& key, const std::string& value);
    // Writes the changes, if there are any; false with the cause in errno when the file could not
    // be written (it is then left as it was, and the changes stay pending for a later Commit).
    bool Commit();

private:
    std::optional<std::string> target_;  // where the write lands; nullopt: the link is broken
    int targetError_ = 0;
    bool exists_ = false;
    int readError_ = 0;  // why an existing file could not be read; 0 if it was
    mode_t mode_ = 0644;
    ProfileDocument document_;
    bool changed_ = false;
};

// How many times this process has replaced a profile file; lets tests and benchmarks count the
// writes of a save.
std::uint64_t ProfileFileWrites();

// What a start finds in a profile file, before anything reads it.
struct ProfileFileCheck {
    std::string target;  // the file itself, a link followed
    bool exists = false;
    int cannotWrite = 0;      // errno when the user may not write it (read-only): never replaced
    bool unreadable = false;  // it cannot be taken as settings (see ProfileLooksDamaged)
};
ProfileFileCheck CheckProfileFile(const std::string& path);

}  // namespace qx
