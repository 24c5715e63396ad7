#pragma once
// The program's lines to standard error (the journal of the user service) from the layers
// below the string table. Each line names its occasion; the application gives the occasions'
// words in the user's language.
//
// Threads: SetDiagnosticWords on the main thread at start, before the threads that say
// something; SayDiagnostic from any thread.
#include <initializer_list>
#include <string>
#include <string_view>

namespace qx {

enum class Diagnostic {
    kPortTrouble,        // port name, what went wrong making or serving it again
    kPortServed,         // port name: its keying-port relay serves it again
    kRelayEnded,         // port name, why its relay ended; asked for again
    kNameStillHeld,      // port name, why; asked for again until the earlier relay has let it go
    kNameHeldByAnother,  // port name, its device name: another user's device holds it
    kUdevUnavailable,    // why; kernel uevents are read instead
    kGuardianEnded,      // (no values) the transmitter guard ended; a new one is started
    kGuardianTrouble,    // why the transmitter guard could not start
    kKeyingUnguarded     // interface key, why the transmitter guard does not hold it
};

// The pattern of an occasion's line, with "%s" for each value in order.
using DiagnosticWords = std::string (*)(Diagnostic);
void SetDiagnosticWords(DiagnosticWords words);

// The line of an occasion; without words, its values joined by ": ".
std::string DiagnosticLine(Diagnostic what, std::initializer_list<std::string_view> values);
// Writes the line to standard error.
void SayDiagnostic(Diagnostic what, std::initializer_list<std::string_view> values);

}  // namespace qx
