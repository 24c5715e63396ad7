#pragma once
// Profile (INI) file access with the semantics of the classic private-profile functions:
// case-insensitive section and key names, defaults for what is missing, writes that create the
// section and key in place and keep every other byte of the file. UTF-16LE files (with byte-order
// mark) stay UTF-16LE; UTF-8 or unmarked files stay as they are. Texts are UTF-8.
#include <string>

namespace qx {

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path);
// At most 4095 characters of the value, or of the default when the key is missing.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path);
// False, with the cause in errno, when the file could not be written; the old file is then left
// as it was. A symbolic link in place of the file stays a link: the write goes to its target.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

}  // namespace qx
