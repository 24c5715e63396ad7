#pragma once
// The COM<n> names of the ports directory: symlinks from a port's name to the node a radio
// program opens. Shared by every port component.
#include <functional>
#include <optional>
#include <string>

#include "core/error.h"

namespace qx {

std::optional<std::string> ReadLinkTarget(const std::string& path);

// Points the new name path at target; fails (EEXIST) when the name exists.
Expected<void> MakeLink(const std::string& path, const std::string& target);

// Points path at target, replacing whatever name is there, in one step.
Expected<void> ReplaceLink(const std::string& path, const std::string& target);

// Points path at target when a port may take over the name: when it is free or a symlink whose
// target isLiveTarget does not claim (the live port of another instance must not be stolen, as
// when two channels are given one number); never when it is something other than a symlink,
// which is not ours.
Expected<void> TakeOverName(const std::string& path, const std::string& target,
                            const std::function<bool(const std::string& target)>& isLiveTarget);

// Removes every COM<n> symlink of directory; other entries a user keeps there stay.
void RemovePortLinks(const std::string& directory);

}  // namespace qx
