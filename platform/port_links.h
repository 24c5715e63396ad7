#pragma once
// The COM<n> names of the ports directory: symlinks from a port's name to the node a radio
// program opens. Shared by every port component.
#include <optional>
#include <string>

namespace qx {

std::optional<std::string> ReadLinkTarget(const std::string& path);

// Points path at target, replacing whatever name is there, in one step.
bool ReplaceLink(const std::string& path, const std::string& target);

// Removes every COM<n> symlink of directory; other entries a user keeps there stay.
void RemovePortLinks(const std::string& directory);

}  // namespace qx
