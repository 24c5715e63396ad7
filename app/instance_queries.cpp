#include "app/instance_queries.h"

#include <strings.h>
#include <sys/stat.h>

#include <charconv>
#include <cstring>
#include <vector>

#include "app/string_ids.h"
#include "app/strings.h"
#include "app/window_rules.h"
#include "manager/CHVInterfaceManager.h"
#include "manager/interface_status.h"
#include "platform/ports_directory.h"

namespace qx {
namespace {

// The words of --status in the user's language.
StatusWords StatusWordsOfTable() {
    StatusWords words;
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = LoadLocalizedString(kStrStatusWords + static_cast<int>(i));
    return words;
}

// Fields are separated by newlines, which serial numbers and channel names never hold.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        fields.push_back(text.substr(start, end - start));
    fields.push_back(text.substr(start));
    return fields;
}

QueryAnswer Failure(const std::string& text) { return {1, "qx-manager: " + text + "\n"}; }

// The names --status prints ("PTT/CW", "WinKey") and their forms without a slash, in any case.
bool ChannelFromName(const std::string& name, Channel& channel) {
    static constexpr const char* kBareNames[kChannelCount] = {"CAT", "PTTCW", "FSK", "WINKEY"};
    for (Channel candidate : kAllChannels) {
        if (::strcasecmp(name.c_str(), kBareNames[candidate]) == 0 ||
            ::strcasecmp(name.c_str(), ChannelTitle(candidate)) == 0) {
            channel = candidate;
            return true;
        }
    }
    return false;
}

// The kind a created port has, as --status --json names it; empty for an unknown component.
std::string JsonPortKind(const std::string& componentKind) {
    if (componentKind.rfind("CUSE", 0) == 0) return "cuse";
    if (componentKind == "pseudo-terminal") return "pty";
    return {};
}

bool PortNumberFromText(const std::string& text, int& number) {
    const char* end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, number);
    return error == std::errc() && rest == end && number >= 0 && number <= kMaxPortNumber;
}

CHVInterface* FindLink(CHVInterfaceManager& manager, const std::string& serial) {
    for (const auto& link : manager.list)
        if (link->key == serial) return link.get();
    return nullptr;
}

// Stands in as the link's observer while a port is provisioned: collects the balloon texts
// and passes every call on, so the window still shows its balloons.
class BalloonCollector final : public CInterfaceNotificatorHander {
public:
    BalloonCollector(CHVInterface& link, int removePortsOnDeviceRemoval)
        : link_(link), next_(link.observer), removePorts_(removePortsOnDeviceRemoval) {
        link_.observer = this;
    }
    ~BalloonCollector() { link_.observer = next_; }
    BalloonCollector(const BalloonCollector&) = delete;
    BalloonCollector& operator=(const BalloonCollector&) = delete;

    int OnPortOperation(int state, int portNumber) override {
        const std::string text = PortOperationBalloonText(state, portNumber, removePorts_);
        if (!text.empty()) texts += text + "\n";
        return next_ ? next_->OnPortOperation(state, portNumber) : 0;
    }

    std::string texts;

private:
    CHVInterface& link_;
    CInterfaceNotificatorHander* next_;
    int removePorts_;
};

// Why the port numbered number is missing after a request made it: in the user's language
// where the cause has words of its own, else with the cause as it was given.
std::string NotMadeText(int number, const Expected<void, PortNotMade>& made) {
    if (made) return PortName(number) + " " + LoadLocalizedString(kStrCannotCreatePort);
    if (made.error().reason == PortNotMade::Reason::kNumberTaken)
        return FormatNumber(LoadLocalizedString(kStrPortNumberTaken), number);
    return FormatTexts(FormatNumber(LoadLocalizedString(kStrPortNotMadeBecause), number),
                       {made.error().cause.message});
}

QueryAnswer SetPort(const std::vector<std::string>& fields, CHVInterfaceManager& manager,
                    const IVSPortAxClass& portClass, const ProgramSettings& program) {
    if (fields.size() != 4) return Failure(LoadLocalizedString(kStrMalformedQuery));
    const std::string& serial = fields[1];
    Channel channel = kCat;
    if (!ChannelFromName(fields[2], channel))
        return Failure(FormatTexts(LoadLocalizedString(kStrUnknownChannel), {fields[2]}));
    int number = 0;
    if (!PortNumberFromText(fields[3], number))
        return Failure(FormatTexts(LoadLocalizedString(kStrBadPortNumber), {fields[3]}));
    CHVInterface* link = FindLink(manager, serial);
    if (link == nullptr)
        return Failure(FormatTexts(LoadLocalizedString(kStrNoSuchInterface), {serial}));
    const std::string path = PortPath(portClass.PortsDirectory(), number);
    // As the Ports page's "Create/update": a channel the device does not report offers only
    // "Not supported" and so gets 0; a number another channel holds is taken as chosen, and its
    // creation then fails as it would from the page.
    std::array<int, kChannelCount> numbers{};
    {
        MutexLock lock(link->portGuard);
        for (Channel c : kAllChannels)
            numbers[c] = link->channelPresent[c].load() != 0 ? link->ports[c].portNumber : 0;
    }
    const bool supported = link->channelPresent[channel].load() != 0;
    if (supported && number != 0 && number != numbers[channel]) {
        // The page offers only names not in the ports directory: the port of an interface that
        // is not connected, or another program's, is not taken over.
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0)
            return Failure(
                FormatTexts(FormatNumber(LoadLocalizedString(kStrPortInUse), number), {path}));
    }

    if (supported) numbers[channel] = number;
    QueryAnswer answer;
    Expected<void, PortNotMade> made;
    {
        BalloonCollector collector(*link, program.removePortsOnDeviceRemoval.value);
        made = manager.provisioning.UpdatePorts(*link, numbers);
        answer.text = collector.texts;
    }
    const Expected<void> saved = SaveSettings(*link);
    if (manager.observer) manager.observer->OnInterfacesChanged();

    const auto outcome = [&](const std::string& text) {
        return FormatTexts(LoadLocalizedString(kStrChannelOf),
                           {ChannelTitle(channel), serial, text}) +
               "\n";
    };
    bool bound = false;
    {
        MutexLock lock(link->portGuard);
        bound = link->ports[channel].instance && link->ports[channel].sink;
    }
    if (!supported) {
        answer.status = 1;
        answer.text += outcome(LoadLocalizedString(kStrNotSupported));
    } else if (number == 0) {
        answer.text += outcome(LoadLocalizedString(kStrNoPort));
    } else if (bound) {
        answer.text += outcome(path);
    } else {
        answer.status = 1;
        answer.text += outcome(NotMadeText(number, made));
    }
    // The port is made, but the next start would not know it: a failure, with its reason.
    if (!saved) {
        answer.status = 1;
        answer.text += Failure(FormatTexts(LoadLocalizedString(kStrSaveFailed),
                                           {ProfileFile(), std::strerror(saved.error().code)}))
                           .text;
    }
    return answer;
}

}  // namespace

std::string StatusQuery(bool json) { return json ? "status\njson" : "status"; }

std::string SetPortQuery(const SetPortOperands& operands) {
    return "set-port\n" + operands.serial + "\n" + operands.channel + "\n" + operands.number;
}

std::string EncodeAnswer(const QueryAnswer& answer) {
    return std::to_string(answer.status) + "\n" + answer.text;
}

QueryAnswer DecodeAnswer(const std::string& encoded) {
    const std::size_t newline = encoded.find('\n');
    int status = 1;
    const char* end = encoded.data() + (newline == std::string::npos ? 0 : newline);
    const auto [rest, error] = std::from_chars(encoded.data(), end, status);
    if (newline == std::string::npos || error != std::errc() || rest != end)
        return Failure(LoadLocalizedString(kStrUnreadableAnswer));
    return {status, encoded.substr(newline + 1)};
}

QueryAnswer AnswerQuery(const std::string& query, CHVInterfaceManager& manager,
                        const IVSPortAxClass& portClass, const ProgramSettings& program) {
    const std::vector<std::string> fields = SplitLines(query);
    if (query == StatusQuery(false))
        return {0, FormatStatusText(ReadStatusReport(manager), portClass.PortsDirectory(),
                                    portClass.Keying(), StatusWordsOfTable())};
    if (query == StatusQuery(true))
        return {0, FormatStatusJson(ReadStatusReport(manager), portClass.PortsDirectory(),
                                    JsonPortKind(portClass.Kind()), portClass.Keying())};
    if (fields.front() == "set-port") return SetPort(fields, manager, portClass, program);
    return Failure(LoadLocalizedString(kStrUnknownRequest));
}

}  // namespace qx
