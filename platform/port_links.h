#pragma once
// The COM<n> names of the ports directory: symlinks from a port's name to the node a radio
// program opens. Shared by every port component.
#include <functional>
#include <optional>
#include <string>

namespace qx {

std::optional<std::string> ReadLinkTarget(const std::string& path);

// Points path at target, replacing whatever name is there, in one step.
bool ReplaceLink(const std::string& path, const std::string& target);

// Whether a port may take over the name path: yes when it is free or a symlink whose target
// isLiveTarget does not claim (the live port of another instance must not be stolen, as when
// two channels are given one number); never when it is something other than a symlink, which
// is not ours.
bool MayTakeOverName(const std::string& path,
                     const std::function<bool(const std::string& target)>& isLiveTarget);

// Removes every COM<n> symlink of directory; other entries a user keeps there stay.
void RemovePortLinks(const std::string& directory);

}  // namespace qx
