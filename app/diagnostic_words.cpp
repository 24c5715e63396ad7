#include "app/diagnostic_words.h"

#include "app/string_ids.h"
#include "app/strings.h"

namespace qx {

std::string DiagnosticPattern(Diagnostic what) {
    switch (what) {
    case Diagnostic::kPortTrouble: return LoadLocalizedString(kStrPortTrouble);
    case Diagnostic::kPortServed: return LoadLocalizedString(kStrPortServed);
    case Diagnostic::kRelayEnded: return LoadLocalizedString(kStrRelayEnded);
    case Diagnostic::kNameStillHeld: return LoadLocalizedString(kStrNameStillHeld);
    case Diagnostic::kNameHeldByAnother: return LoadLocalizedString(kStrNameHeldByAnother);
    case Diagnostic::kUdevUnavailable: return LoadLocalizedString(kStrUdevUnavailable);
    case Diagnostic::kGuardianEnded: return LoadLocalizedString(kStrGuardianEnded);
    case Diagnostic::kGuardianTrouble: return LoadLocalizedString(kStrGuardianFailed);
    case Diagnostic::kKeyingUnguarded: return LoadLocalizedString(kStrInterfaceUnguarded);
    }
    return "%s: %s";
}

}  // namespace qx
