#pragma once
// A process of the program that must outlive a stop or kill of the program's unit or scope moves
// itself into a transient scope of its own, through the user's service manager.
#include <string>

#include "core/error.h"

namespace qx {

// Asks the user's service manager to make the scope `name` (ending in ".scope") holding this
// process. Fails where no user service manager runs.
Expected<void> MoveIntoScopeOfItsOwn(const std::string& name, const std::string& description);

}  // namespace qx
