#include "platform/diagnostics.h"

#include <atomic>
#include <cstdio>

#include "core/text_format.h"

namespace qx {
namespace {

std::atomic<DiagnosticWords> diagnosticWords{nullptr};

}  // namespace

void SetDiagnosticWords(DiagnosticWords words) { diagnosticWords.store(words); }

std::string DiagnosticLine(Diagnostic what, std::initializer_list<std::string_view> values) {
    if (const DiagnosticWords words = diagnosticWords.load())
        return FormatTexts(words(what), values);
    std::string line;
    for (const std::string_view value : values) {
        if (!line.empty()) line += ": ";
        line += value;
    }
    return line;
}

void SayDiagnostic(Diagnostic what, std::initializer_list<std::string_view> values) {
    std::fprintf(stderr, "%s\n", DiagnosticLine(what, values).c_str());
}

}  // namespace qx
