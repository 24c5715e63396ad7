#include "app/command_line.h"

#include <charconv>

#include "app/string_ids.h"
#include "app/strings.h"

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

void Fail(CommandLine& result, const std::string& text) {
    if (result.error.empty()) result.error = "qx-manager: " + text;
}

// Reads the long switches and "-h" into result and returns the other arguments, in order. Long
// switches go first because the single-dash reading would find "-s" in "--status".
std::vector<std::string> TakeLongSwitches(const std::vector<std::string>& args,
                                          CommandLine& result) {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h") {
            result.help = true;  // the short form people try first
        } else if (arg == "-v" || arg == "-V") {
            result.version = true;  // as most programs print their version
        } else if (arg.rfind("--", 0) != 0) {
            rest.push_back(arg);
        } else if (arg == "--help") {
            result.help = true;
        } else if (arg == "--version") {
            result.version = true;
        } else if (arg == "--headless") {
            result.headless = true;
        } else if (arg == "--trace") {
            result.trace = true;
        } else if (arg == "--status") {
            result.status = true;
        } else if (arg == "--json") {
            result.json = true;
        } else if (arg == "--set-port") {
            if (args.size() - i < 4) {
                Fail(result, LoadLocalizedString(kStrSetPortNeedsOperands));
                break;
            }
            result.setPort = true;
            result.setPortOperands = {args[i + 1], args[i + 2], args[i + 3]};
            i += 3;
        } else {
            Fail(result, FormatTexts(LoadLocalizedString(kStrUnknownOption), {arg}));
        }
    }
    if (result.json && !result.status) Fail(result, LoadLocalizedString(kStrJsonNeedsStatus));
    if (int(result.headless) + int(result.status) + int(result.setPort) > 1)
        Fail(result, LoadLocalizedString(kStrOnlyOneOf));
    return rest;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& allArgs) {
    CommandLine result;
    const std::vector<std::string> args = TakeLongSwitches(allArgs, result);
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

int ForwardedRequest(const CommandLine& commandLine) { return commandLine.firstArgHasTray ? 2 : 1; }

std::string UsageHint() { return LoadLocalizedString(kStrUsageHint); }

std::string HelpText(const std::string& iniPath, const std::string& portsDir) {
    return LoadLocalizedString(kStrHelpUsage) + LoadLocalizedString(kStrHelpOptions) +
           FormatTexts(LoadLocalizedString(kStrHelpFiles), {iniPath, portsDir});
}

}  // namespace qx
