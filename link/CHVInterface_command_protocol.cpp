// The link's side of the firmware command protocol on report id 1: the start-up sequence that
// learns channels, report ids and firmware version, the settings poll that forwards the serial
// settings programs choose on the CAT and FSK ports, and the one-command-per-tick send queue.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "link/CHVInterface.h"
#include "platform/trace.h"

namespace qx {

namespace {

// Command codes as the queue and the awaited reply hold them; the text of code c is
// kCommandTexts[c].
enum CommandCode : int {
    kList = 1,
    kListCatSpeed = 2,
    kGetCat = 5,
    kGetCatDesc = 6,
    kSetCatSpeed = 11,
    kGetPttCwDesc = 15,
    kGetFskDesc = 17,
    kGetWinKeyDesc = 19,
    kVer = 28,
    kLastCommand = 29,
};

constexpr const char* kCommandTexts[kLastCommand + 1] = {
    nullptr,
    "LIST",
    "LIST CAT;SPEED",
    "LIST CAT;PARITY",
    "LIST CAT;STOP",
    "GET CAT",
    "GET CAT;DESC",
    "GET CAT;SPEED",
    "GET CAT;PARITY",
    "GET CAT;STOP",
    "SET CAT;DESK",
    "SET CAT;SPEED=115200",
    "SET CAT;PARITY",
    "SET CAT;STOP",
    "GET PTTCW",
    "GET PTTCW;DESC",
    "GET FSK",
    "GET FSK;DESC",
    "GET WINKEY",
    "GET WINKEY;DESC",
    "START CAT",
    "STOP CAT",
    "START PTTCW",
    "STOP PTTCW",
    "START FSK",
    "STOP FSK",
    "START WINKEY",
    "STOP WINKEY",
    "VER",
    "INFO",
};

constexpr char kStartupSequence[] = {kList,       kListCatSpeed,  kGetCatDesc, kGetPttCwDesc,
                                     kGetFskDesc, kGetWinKeyDesc, kVer};

constexpr int kPollTicks = 1000;     // the poll body runs on the 1001st tick after the last
constexpr int kReplyWaitTicks = 20;  // a silent device holds the queue at most this long

bool StartsWith(std::string_view token, std::string_view prefix) {
    return token.substr(0, prefix.size()) == prefix;
}

}  // namespace

void CHVInterface::QueueStartupSequence() {
    if (startupQueued_) return;
    commandQueue_.append(kStartupSequence, sizeof kStartupSequence);
    startupQueued_ = 1;
}

// The poll body runs on the 1001st tick after its last run, asleep or not.
void CHVInterface::PollSettings() {
    if (pollCounter_++ < kPollTicks) return;
    pollCounter_ = 0;
    PollChannelSettings(kCat, catSent_, "CAT");
    // Taking the pending flag in one step keeps a toggle made during the poll for the next one.
    if (fskInversionPending.exchange(0))
        SendCommand(fskInverted.load() ? "SET FSK;INVERS=1" : "SET FSK;INVERS=0");
    PollChannelSettings(kFsk, fskSent_, "FSK");
}

// A poll tick that went by while the link slept had nothing to poll (or the link would have
// woken for it), so only the count moves on, as if the poll had run.
void CHVInterface::CountSleptPollTicks(int64_t ticks) {
    pollCounter_ = static_cast<int>((pollCounter_ + ticks) % (kPollTicks + 1));
}

// The poll has work when it may have something to send: a CAT or FSK port is open (a program
// may have changed its settings) or an inversion is pending.
int64_t CHVInterface::TicksUntilPoll() {
    const bool work = OpenPort(kCat) || OpenPort(kFsk) || fskInversionPending.load();
    return work ? kPollTicks + 1 - pollCounter_ : kNoPassDue;
}

void CHVInterface::PollChannelSettings(Channel channel, SentSettings& sent, const char* name) {
    IVSPortAx* port = OpenPort(channel);
    if (!port) return;
    const auto baudRate = port->GetBaudRate();
    const auto dataBits = port->GetDataBits();
    const auto parity = port->GetParity();
    const auto stopBits = port->GetStopBits();
    if (!baudRate || !dataBits || !parity || !stopBits) return;  // retried at the next poll

    char text[kReportSize];
    // Speed 0 is a hang-up request (B0), not a speed the device could take.
    if (*baudRate > 0 && *baudRate != sent.baudRate) {
        awaitedReply_ = kSetCatSpeed;
        std::snprintf(text, sizeof text, "SET %s;SPEED=%d", name, *baudRate);
        if (TraceOn()) TraceText(key, name, TraceKind::kSettings, std::strchr(text, ';') + 1);
        SendCommand(text);
        sent.baudRate = *baudRate;
    }
    if (*dataBits != sent.dataBits || *parity != sent.parity || *stopBits != sent.stopBits) {
        // Mode text: data bits as one character, parity letter, stop bits. A parity code outside
        // the table leaves a 0 character, which ends the text after the data bits.
        static constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
        static constexpr const char* kStopBitTexts[] = {"1", "1.5", "2"};
        const char parityLetter = *parity >= 0 && *parity <= 4 ? kParityLetters[*parity] : '\0';
        const char* stopText = *stopBits >= 0 && *stopBits <= 2 ? kStopBitTexts[*stopBits] : "";
        std::snprintf(text, sizeof text, "SET %s;MODE=%c%c%s", name,
                      static_cast<char>('0' + *dataBits), parityLetter, stopText);
        if (TraceOn()) TraceText(key, name, TraceKind::kSettings, std::strchr(text, ';') + 1);
        SendCommand(text);
        sent.dataBits = *dataBits;
        sent.parity = *parity;
        sent.stopBits = *stopBits;
    }
}

// At most one queued command per tick. While a reply is awaited the queue waits, but no longer
// than the next tick whose poll counter (after the poll step) is a multiple of 20 on which the
// device holds no report the link has not read: a reply behind other reports is late only
// because the link reads one report per tick, and ending its wait would have it read under the
// next command. Commands are not repeated.
void CHVInterface::SendQueuedCommand() {
    if (!commandQueue_.empty() && currentCommand_ == 0 && ReplyWaitOver()) {
        currentCommand_ = static_cast<unsigned char>(commandQueue_.front());
        commandQueue_.erase(0, 1);
    }
    if (currentCommand_ >= 1 && currentCommand_ <= kLastCommand) {
        awaitedReply_ = currentCommand_;
        SendCommand(kCommandTexts[currentCommand_]);
    }
    currentCommand_ = 0;
}

bool CHVInterface::ReplyWaitOver() const {
    return awaitedReply_ == 0 || (pollCounter_ % kReplyWaitTicks == 0 && !InputWaiting());
}

void CHVInterface::SendCommand(const char* text) {
    Report report{};
    report[0] = kCommandReportId;
    std::memcpy(report.data() + 1, text, strnlen(text, kMaxPayload));
    if (TraceOn()) TraceText(key, "", TraceKind::kCommand, {text, strnlen(text, kMaxPayload)});
    Post(report);
}

// The reply text runs from byte 2 to the first 0 byte or the end of the report; each token,
// ended by ';' or by the end of the text, is parsed as soon as it ends.
void CHVInterface::HandleReply(const Report& report) {
    const char* text = reinterpret_cast<const char*>(report.data());
    if (TraceOn())
        TraceText(key, "", TraceKind::kReply, {text + 2, strnlen(text + 2, kMaxPayload)});
    std::size_t tokenStart = 2;
    for (std::size_t i = 2; i <= report.size(); ++i) {
        const char c = i < report.size() ? text[i] : '\0';
        if (c != ';' && c != '\0') continue;
        ParseReplyToken(std::string_view(text + tokenStart, i - tokenStart));
        if (c == '\0') return;
        tokenStart = i + 1;
    }
}

// Tokens are read under the code of the awaited reply, whatever command they answer, but for a
// channel list, which its tokens make known: answered after its wait ended (a loaded machine,
// a slow device), it still names the channels, or the link would offer none of them for the
// whole connection; it answers no other command, so the wait of the awaited one goes on.
void CHVInterface::ParseReplyToken(std::string_view token) {
    if (awaitedReply_ != kList && MarkChannelPresent(token)) return;
    switch (awaitedReply_) {
    case 0: return;
    case kList: TakeChannelListToken(token); return;
    case kListCatSpeed:
        if (StartsWith(token, "4800") || StartsWith(token, "9600") || StartsWith(token, "115200"))
            EndWait();
        return;
    case kGetCat:
        if (StartsWith(token, "0") || StartsWith(token, "1")) EndWait();
        return;
    case kGetCatDesc: TakeDescriptionToken(kCat, token); return;
    case kGetPttCwDesc: TakeDescriptionToken(kPttCw, token); return;
    case kGetFskDesc: TakeDescriptionToken(kFsk, token); return;
    case kGetWinKeyDesc: TakeDescriptionToken(kWinKey, token); return;
    case kVer: TakeVersionToken(token); return;
    default:
        if (awaitedReply_ <= kLastCommand) EndWait();
        return;
    }
}

void CHVInterface::TakeChannelListToken(std::string_view token) {
    MarkChannelPresent(token);
    for (const auto& present : channelPresent)
        if (!present.load()) return;
    EndWait();
}

// Whether the token names a channel (the first name it starts with); that channel is present.
bool CHVInterface::MarkChannelPresent(std::string_view token) {
    static constexpr std::string_view kChannelNames[kChannelCount] = {"CAT", "PTTCW", "FSK",
                                                                      "WINKEY"};
    for (Channel channel : kAllChannels) {
        if (StartsWith(token, kChannelNames[channel])) {
            channelPresent[channel].store(1);
            channelListReceived.store(1);
            if (userInterfaceWake) userInterfaceWake->Signal();
            return true;
        }
    }
    return false;
}

// The first character minus '0' is the report id. A token that does not start with a digit is
// no id but a late reply to another command (a channel list gave 'C' - '0' = 19): the id stays
// and the wait goes on. Nor is a number of more than one digit: a late speed list ("4800")
// would give CAT the FSK channel's id and its data would go to the wrong channel. Some digits
// are answers that give no usable id, so the channel keeps its id: 0; the command channel's id,
// under which data would go out as commands and come in as replies; and for a data channel the
// line report's id, under which a program's bytes would key the transmitter.
void CHVInterface::TakeDescriptionToken(Channel channel, std::string_view token) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (token.empty() || !digit(token[0]) || (token.size() > 1 && digit(token[1]))) return;
    const int id = token[0] - '0';
    const bool usable =
        id != 0 && id != kCommandReportId && (channel == kPttCw || id != kLineReportId);
    if (usable) reportIds[channel].store(id);
    EndWait();
}

// The expected reply is "HAM RADIO INTERFACE", the model name, then the version text; a token
// that does not fit its step changes nothing.
void CHVInterface::TakeVersionToken(std::string_view token) {
    if (versionStep_ == 0) {
        if (StartsWith(token, "HAM RADIO INTERFACE")) versionStep_ = 1;
    } else if (versionStep_ == 1) {
        if (StartsWith(token, kModelName)) versionStep_ = 2;
    } else {
        {
            MutexLock lock(versionGuard_);
            versionText_.assign(token);
        }
        identityChanged.store(1);  // after the text, so a reader never sees the flag before it
        if (userInterfaceWake) userInterfaceWake->Signal();
        versionStep_ = 0;
        EndWait();
    }
}

}  // namespace qx
