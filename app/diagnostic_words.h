#pragma once
// The words of the lower layers' lines to standard error, from the string table.
#include <string>

#include "platform/diagnostics.h"

namespace qx {

// The pattern of an occasion's line in the user's language.
std::string DiagnosticPattern(Diagnostic what);

}  // namespace qx
