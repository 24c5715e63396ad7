#include "app/CInterfaceManagerApp.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <variant>

#include "app/autostart_switch.h"
#include "app/diagnostic_words.h"
#include "app/display_check.h"
#include "app/exit_codes.h"
#include "app/headless_host.h"
#include "app/instance_queries.h"
#include "app/port_component.h"
#include "app/string_ids.h"
#include "app/strings.h"
#include "app/version.h"
#include "manager/CHVInterfaceManager.h"
#include "platform/keying_guardian.h"
#include "platform/ports_directory.h"
#include "platform/private_profile.h"
#include "platform/trace.h"
#include "platform/uevent_monitor.h"

namespace qx {

namespace {

using ErrorShow = std::function<void(const std::string&)>;

void ReportError(const std::string& text, const std::function<void(const std::string&)>& show) {
    std::fprintf(stderr, "%s\n", text.c_str());
    if (show) show(text);
}

// While it lives, a settings file that cannot be written is told once: on stderr, in the
// journal, and through show (the window's notice while the window lives). Told before the
// window is up (a read-only file, found at start), the text is kept in unshown for the window.
class SaveFailureNotice {
public:
    SaveFailureNotice(const std::function<void(const std::string&)>& show, std::string& unshown) {
        SetSaveFailureHandler([&show, &unshown](const std::string& path, int error) {
            const std::string text =
                FormatTexts(LoadLocalizedString(kStrSaveFailed), {path, std::strerror(error)});
            WarnInJournal(text);
            ReportError(text, show);
            if (!show) unshown = text;
        });
    }
    ~SaveFailureNotice() { SetSaveFailureHandler(nullptr); }
    SaveFailureNotice(const SaveFailureNotice&) = delete;
    SaveFailureNotice& operator=(const SaveFailureNotice&) = delete;
};

// A settings file that cannot be read as settings is moved aside before anything reads it; the
// user hears of it on stderr and in the journal now, and in the window once it is shown. The
// text of that notice, or "".
std::string SetAsideUnreadableSettings() {
    const std::string movedTo = SetAsideUnreadableIniFile();
    if (movedTo.empty()) return {};
    const std::string text =
        FormatTexts(LoadLocalizedString(kStrSettingsSetAside), {ProfileFile(), movedTo});
    WarnInJournal(text);
    ReportError(text, nullptr);
    return text;
}

constexpr std::chrono::seconds kAnswerBound{5};

// Why a request got no answer, in the user's language: nobody listens (or the run ended
// meanwhile), the owner took too long, or what else went wrong (another user's socket, a
// request the owner closed unanswered).
std::string WhyUnanswered(const std::string& runtimeDir, const Error& why) {
    if (NoneListened(why)) return LoadLocalizedString(kStrNoneRunning);
    const bool lost = why.code == ETIMEDOUT || why.code == ECONNRESET;
    if (lost && !IsRunHeld(runtimeDir)) return LoadLocalizedString(kStrNoneRunning);
    if (why.code == ETIMEDOUT)
        return FormatNumber(LoadLocalizedString(kStrDidNotAnswer),
                            static_cast<int>(kAnswerBound.count()));
    return FormatTexts(LoadLocalizedString(kStrInstanceNotAsked), {why.message});
}

// --status and --set-port: the running instance's answer, or why there is none.
Expected<QueryAnswer> AskRunningInstance(const std::string& runtimeDir,
                                         const CommandLine& commandLine) {
    const std::string query = commandLine.status ? StatusQuery(commandLine.json)
                                                 : SetPortQuery(commandLine.setPortOperands);
    const Expected<std::string> encoded = SendTextRequest(runtimeDir, query, kAnswerBound);
    if (!encoded) return Error{encoded.error().code, WhyUnanswered(runtimeDir, encoded.error())};
    return DecodeAnswer(*encoded);
}

// Prints the answer, or why there is none; the exit code.
int PrintAnswer(const Expected<QueryAnswer>& answer) {
    if (!answer) {
        std::fprintf(stderr, "%s\n", answer.error().message.c_str());
        return kExitFailed;
    }
    std::fputs(answer->text.c_str(), answer->status == 0 ? stdout : stderr);
    return answer->status;
}

}  // namespace

Expected<PortClass> CInterfaceManagerApp::MakePortClass(const std::string& startDirectory) {
    const Expected<std::string> directory = ResolvePortsDirectory(startDirectory);
    if (!directory) return directory.error();
    return ChoosePortComponent(std::getenv("QXM_PORT_KIND"), *directory,
                               DefaultPortComponentMakers());
}

void GiveSimulatedInterfacesPorts(const std::vector<std::string>& serialNumbers) {
    const SettingsSave save;
    for (int device = 1; device <= static_cast<int>(serialNumbers.size()); ++device) {
        const std::string section = InterfaceSection(serialNumbers[device - 1]);
        bool named = false;
        for (Channel channel : kAllChannels)
            named = named ||
                    !GetPrivateProfileString(section, PortKey(channel), "", ProfileFile()).empty();
        if (named) continue;
        for (Channel channel : kAllChannels)
            WriteIntIfChanged(section, PortKey(channel),
                              (device - 1) * kChannelCount + channel + 1);
    }
}

namespace {

// What a start needs before it knows whether it runs: a request for the running instance, the
// version, the help or a usage error, -x, -a or -n is answered without taking the run; nullopt
// when the start is to run.
std::optional<int> AnswerWithoutRunning(const CommandLine& commandLine,
                                        const std::string& startDirectory,
                                        const std::string& runtimeDir,
                                        const InstanceWaits& instanceWaits) {
    if (!commandLine.error.empty()) {
        std::fprintf(stderr, "%s\n%s\n", commandLine.error.c_str(), UsageHint().c_str());
        return kExitUsage;
    }
    if (commandLine.version) {
        std::printf("qx-manager %s\n", GetVersionText().c_str());
        return 0;
    }
    if (commandLine.help) {
        const Expected<std::string> portsDir = ResolvePortsDirectory(startDirectory);
        std::printf(
            "%s", HelpText(ProfileFile(), portsDir ? *portsDir : portsDir.error().message).c_str());
        return 0;
    }
    if (commandLine.status || commandLine.setPort)
        return PrintAnswer(AskRunningInstance(runtimeDir, commandLine));
    switch (commandLine.mode) {
    case StartMode::kExitAll: {
        const Expected<void> ended = EndRunningInstance(runtimeDir, instanceWaits);
        if (ended) return kExitOk;
        std::fprintf(stderr, "%s\n", ended.error().message.c_str());
        return kExitFailed;
    }
    case StartMode::kAutostartOn:
    case StartMode::kAutostartOff:
        return SwitchProgramAutostart(commandLine.mode == StartMode::kAutostartOn) ? kExitOk
                                                                                   : kExitFailed;
    default: return std::nullopt;
    }
}

// The run of this user's programs, or the exit code of a start that does not get it: one that
// handed its request to the running instance, or could not, or has no display for its window.
std::variant<std::unique_ptr<SingleInstance>, int> TakeRun(const CommandLine& commandLine,
                                                           const std::string& runtimeDir,
                                                           const InstanceWaits& instanceWaits,
                                                           bool needsDisplay,
                                                           const ErrorShow& showStartError) {
    InstanceStart start =
        TakeRunOrForward(runtimeDir, ForwardedRequest(commandLine), instanceWaits);
    if (start.forwarded) {
        // The start is over at once: say why nothing new appears.
        std::printf("%s\n", LoadLocalizedString(ForwardedRequest(commandLine) == kRequestHide
                                                    ? kStrAlreadyRunningHidden
                                                    : kStrAlreadyRunningShown)
                                .c_str());
        return kExitOk;
    }
    if (!start.run) {
        ReportError(start.error.message, showStartError);
        return kExitInstanceUnavailable;
    }
    // A second start hands its request over without a display; only the run needs one.
    if (needsDisplay) {
        ReportError(NoDisplayText(), nullptr);
        return kExitNoDisplay;
    }
    return std::move(start.run);
}

// Before the first device is opened: a device opened earlier waits for it unguarded. The
// manager's words for an interface that cannot be opened come from the string table.
void PrepareForDevices() {
    if (const Expected<void> guardian = StartKeyingGuardian(KeyingGuardianExecutable()); !guardian)
        ReportError(
            FormatTexts(LoadLocalizedString(kStrGuardianFailed), {guardian.error().message}),
            nullptr);
    SetOpenFailureWording([](const std::string& key, const std::string& reason) {
        return FormatTexts(LoadLocalizedString(kStrCannotOpenInterface), {key, reason});
    });
}

// The ports' class object, or the exit code of a start that cannot serve ports.
std::variant<PortClass, int> MakePorts(const std::string& startDirectory,
                                       const ErrorShow& showStartError) {
    Expected<PortClass> portClass = CInterfaceManagerApp::MakePortClass(startDirectory);
    if (!portClass || !*portClass) {
        const std::string why =
            portClass ? LoadLocalizedString(kStrNoPortComponent) : portClass.error().message;
        ReportError(FormatTexts(LoadLocalizedString(kStrComponentError), {why}), showStartError);
        return kExitFailed;
    }
    // Under systemd, standard error is the journal.
    if (const KeyingPorts keying = (*portClass)->Keying();
        keying.state != KeyingPorts::State::kServed)
        std::fprintf(stderr, "qx-manager: %s\n", KeyingPortsText(keying).c_str());
    return std::move(*portClass);
}

// Where the ports are published and, with real devices, where device notices come from.
void AnnouncePorts(const IVSPortAxClass& ports, bool realDevices) {
    std::printf("%s\n", FormatTexts(LoadLocalizedString(kStrPortsPublished),
                                    {ports.Kind(), ports.PortsDirectory()})
                            .c_str());
    if (realDevices)
        std::printf("%s\n", FormatTexts(LoadLocalizedString(kStrNoticesFrom),
                                        {ChooseNoticeOrigin() == NoticeOrigin::kUdev
                                             ? std::string("udev")
                                             : LoadLocalizedString(kStrKernelUevents)})
                                .c_str());
    std::fflush(stdout);
}

}  // namespace

int CInterfaceManagerApp::Serve(RunningServices& services) {
    // Started before the first link and ended after the last, so it sees all they relay.
    std::optional<TraceSession> trace;
    if (TraceRequested(services.commandLine.trace)) {
        const bool journal = JournalAvailable();
        trace.emplace(
            TraceSession::Options{journal && StderrIsJournal() ? nullptr : stderr, journal});
    }
    if (services.commandLine.headless) return RunHeadless(services);
    return runWindow ? runWindow(services) : 0;
}

int CInterfaceManagerApp::Run(const std::vector<std::string>& args) {
    // Taken before LocateIniFile changes into the data folder: paths the user gave relative
    // to where the program was started must still mean that place.
    std::error_code cwdError;
    const std::string startDirectory = std::filesystem::current_path(cwdError).string();
    SetDiagnosticWords(DiagnosticPattern);
    const CommandLine commandLine = ParseCommandLine(args);
    if (commandLine.error.empty() && !commandLine.version) LocateIniFile();
    const std::string runtimeDir = DefaultRuntimeDir();
    if (const std::optional<int> answered =
            AnswerWithoutRunning(commandLine, startDirectory, runtimeDir, instanceWaits))
        return *answered;
    // Without a window, or a display to show one on, errors go to standard error only.
    const bool window = !commandLine.headless;
    const bool display = window && DisplayAvailable();
    const ErrorShow showStartError = display ? showError : nullptr;
    auto taken =
        TakeRun(commandLine, runtimeDir, instanceWaits, window && !display, showStartError);
    if (const int* exitCode = std::get_if<int>(&taken)) return *exitCode;
    const std::unique_ptr<SingleInstance> instance =
        std::move(std::get<std::unique_ptr<SingleInstance>>(taken));
    PrepareForDevices();

    // Declared before the settings so it outlives their last write.
    std::function<void(const std::string&)> showNotice;
    std::string unshownNotice;
    const SaveFailureNotice saveFailureNotice(showNotice, unshownNotice);
    const std::string setAside = SetAsideUnreadableSettings();
    const std::string startNotice = setAside.empty() ? unshownNotice : setAside;
    auto made = MakePorts(startDirectory, showStartError);
    if (const int* exitCode = std::get_if<int>(&made)) return *exitCode;
    IVSPortAxClass& ports = *std::get<PortClass>(made);
    const Expected<HidService> hid = makeHidService();
    if (!hid) {
        ReportError(hid.error().message, showStartError);
        return kExitNoDeviceAccess;
    }
    // From here on Ctrl+C and SIGTERM end the run through the exit path.
    TerminationSignals termination;
    AnnouncePorts(ports, hid->realDevices);

    // Program-wide settings live until the end of the run and are written last.
    ProgramSettings program;
    // The window's texts are built with the window, so the language is chosen before it.
    if (commandLine.languageOverride != 0) SetThreadLanguage(commandLine.languageOverride);
    RunningServices services{*hid->backend, ports,       program,    *instance,
                             commandLine,   termination, showNotice, startNotice};
    return Serve(services);
}

}  // namespace qx
