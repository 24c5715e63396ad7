#include "app/command_line.h"

#include <charconv>

namespace qx {
namespace {

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

StartMode ModeOf(const std::string& firstArg) {
    if (Contains(firstArg, "-s")) return StartMode::kShow;
    if (Contains(firstArg, "-m")) return StartMode::kTray;
    if (Contains(firstArg, "-x")) return StartMode::kExitAll;
    if (Contains(firstArg, "-a")) return StartMode::kAutostartOn;
    if (Contains(firstArg, "-n")) return StartMode::kAutostartOff;
    return StartMode::kNormal;
}

// The decimal language id from the argument's third character on ("-l1041" -> 1041). Digits
// must start there; the id is a 16-bit value, so anything larger is unreadable: 0.
int LanguageIdOf(const std::string& arg) {
    if (arg.size() < 3) return 0;
    unsigned value = 0;
    const char* first = arg.data() + 2;
    const auto [end, error] = std::from_chars(first, arg.data() + arg.size(), value);
    if (error != std::errc() || end == first || value > 0xFFFF) return 0;
    return static_cast<int>(value);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    if (args.empty()) return result;
    result.mode = ModeOf(args.front());
    result.firstArgHasTray = Contains(args.front(), "-m");
    for (const std::string& arg : args) {
        if (!Contains(arg, "-l")) continue;
        if (const int language = LanguageIdOf(arg); language != 0)
            result.languageOverride = language;
    }
    return result;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc && argv != nullptr; ++i) {
        if (argv[i] != nullptr) args.emplace_back(argv[i]);
    }
    return ParseCommandLine(args);
}

int ForwardedRequest(const CommandLine& commandLine) {
    return commandLine.firstArgHasTray ? 2 : 1;
}

}  // namespace qx
