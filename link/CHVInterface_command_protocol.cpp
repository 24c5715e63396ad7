// The link's side of the firmware command protocol on report id 1: the start-up sequence that
// learns channels, report ids and firmware version, the settings poll that forwards the serial
// settings programs choose on the CAT and FSK ports, and the one-command-per-tick send queue.
//
// Replies carry no command code: a reply is read under the code of the command awaited when it
// arrives. That holds while the device answers each command within its wait. A device that
// answers later (a loaded machine, a busy firmware) has its reply read under a later command,
// and a single-digit description reply cannot be told from another: the link is out of step.
// Out of step it takes no description, and what the start-up did not learn for that reason is
// asked again by a later settings poll, one command per poll, once the link is in step again.
// A poll that finds its last ask unanswered sends nothing for up to five seconds, so that a late
// reply is still read under its own command; then it asks for the speed list, whose reply
// answers nothing else and so tells that every earlier reply has come.
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

// What a poll may ask again, in the order it asks: what the start-up learns. The speed list is
// not among them: its reply only ends its wait.
constexpr int kReaskable[] = {kList, kGetCatDesc, kGetPttCwDesc, kGetFskDesc, kGetWinKeyDesc, kVer};

constexpr int kPollTicks = 1000;     // the poll body runs on the 1001st tick after the last
constexpr int kReplyWaitTicks = 20;  // a silent device holds the queue at most this long
// A device that always has a report waiting (a radio streaming CAT data) holds a wait at most
// this long.
constexpr int kMaxReplyWaitTicks = 5 * kReplyWaitTicks;
constexpr int kReaskTries = 3;  // a device that never answers an item is asked this often
// How long a poll waits for the reply to its last ask before it takes the ask for unanswered.
constexpr int kReaskWaitTicks = 5 * kPollTicks;

// Whether a late reply to the command can be told from a description's single number, so that a
// description asked after it is still read as its own: a channel list names channels, a speed
// list is a number of several digits.
bool ToldFromDescription(int code) { return code == kList || code == kListCatSpeed; }

bool StartsWith(std::string_view token, std::string_view prefix) {
    return token.substr(0, prefix.size()) == prefix;
}

bool IsSpeedToken(std::string_view token) {
    return StartsWith(token, "4800") || StartsWith(token, "9600") || StartsWith(token, "115200");
}

constexpr std::string_view kChannelNames[kChannelCount] = {"CAT", "PTTCW", "FSK", "WINKEY"};

bool IsChannelToken(std::string_view token) {
    return std::ranges::any_of(kChannelNames,
                               [&](std::string_view name) { return StartsWith(token, name); });
}

}  // namespace

void CHVInterface::QueueStartupSequence() {
    if (startupQueued_) return;
    commandQueue_.append(kStartupSequence, sizeof kStartupSequence);
    startupQueued_ = 1;
}

// The poll body runs on the 1001st tick after its last run, asleep or not. What it asks again
// goes out last, so the replies to its settings commands ("OK 00", no digit and no channel or
// version token) come first and are ignored under the code it awaits.
void CHVInterface::PollSettings() {
    ticksSinceAwait_ = std::min(ticksSinceAwait_ + 1, kReaskWaitTicks);
    if (pollCounter_++ < kPollTicks) return;
    pollCounter_ = 0;
    // Before a speed command awaits its reply.
    const bool mayReask = MayReask();
    const bool lastAskOpen = awaitedReply_ != 0;
    PollChannelSettings(kCat, catSent_, "CAT");
    // Taking the pending flag in one step keeps a toggle made during the poll for the next one.
    if (fskInversionPending.exchange(0))
        SendCommand(fskInverted.load() ? "SET FSK;INVERS=1" : "SET FSK;INVERS=0");
    PollChannelSettings(kFsk, fskSent_, "FSK");
    if (mayReask) Reask(lastAskOpen);
}

// A poll tick that went by while the link slept had nothing to poll (or the link would have
// woken for it), so only the counts move on, as if the poll had run.
void CHVInterface::CountSleptProtocolTicks(int64_t ticks) {
    pollCounter_ = static_cast<int>((pollCounter_ + ticks) % (kPollTicks + 1));
    ticksSinceAwait_ =
        static_cast<int>(std::min<int64_t>(ticksSinceAwait_ + ticks, kReaskWaitTicks));
}

// The poll has work when it may have something to send: a CAT or FSK port is open (a program
// may have changed its settings), an inversion is pending, or something is owed to ask again.
int64_t CHVInterface::TicksUntilPoll() {
    const bool work = OpenPort(kCat) || OpenPort(kFsk) || fskInversionPending.load() ||
                      (deviceAnswered_ && NextOwed() != 0);
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
        AwaitReply(kSetCatSpeed);
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
// next command. A device that never runs out of reports still ends the wait after 100 ticks.
// Commands are not repeated.
void CHVInterface::SendQueuedCommand() {
    if (!commandQueue_.empty() && currentCommand_ == 0 && ReplyWaitOver()) {
        currentCommand_ = static_cast<unsigned char>(commandQueue_.front());
        commandQueue_.erase(0, 1);
    }
    if (currentCommand_ >= 1 && currentCommand_ <= kLastCommand) {
        TrackStep(currentCommand_);
        AwaitReply(currentCommand_);
        SendCommand(kCommandTexts[currentCommand_]);
    }
    currentCommand_ = 0;
}

// A command that goes out while the previous one is still awaited, with no reply read since that
// one went out or after the longest wait, puts the link out of step: the device may not have
// answered yet, and its answer would be read under a later command. A late channel list or speed
// list cannot be taken for anything else, so after them the link stays in step. What the
// unanswered command and every command sent out of step would have learned is owed.
void CHVInterface::TrackStep(int code) {
    if (awaitedReply_ != 0 && (!replySinceAwait_ || ticksSinceAwait_ >= kMaxReplyWaitTicks)) {
        if (!ToldFromDescription(awaitedReply_)) outOfStep_ = true;
        Owe(awaitedReply_);
    }
    if (outOfStep_) Owe(code);
}

void CHVInterface::AwaitReply(int code) {
    awaitedReply_ = code;
    replySinceAwait_ = false;
    ticksSinceAwait_ = 0;
}

void CHVInterface::Owe(int code) {
    static_assert(kLastCommand + 1 == kCommandCodeCount);
    if (std::find(std::begin(kReaskable), std::end(kReaskable), code) != std::end(kReaskable))
        reaskTriesLeft_[code] = kReaskTries;
}

// The first owed item that has tries left; 0 when none.
int CHVInterface::NextOwed() const {
    for (int code : kReaskable)
        if (reaskTriesLeft_[code] > 0) return code;
    return 0;
}

// A poll may ask again once the queue is done and either the last command's wait ended or it
// went out a whole poll period ago. A device that has never answered anything is not asked
// again: it keeps the start-up's few commands.
bool CHVInterface::MayReask() const {
    return deviceAnswered_ && commandQueue_.empty() &&
           (awaitedReply_ == 0 || ticksSinceAwait_ >= kPollTicks);
}

// One owed item per poll, awaited like a queued command, while the link is in step and the last
// ask was answered; a version handshake starts over. An ask still unanswered may be answered
// more than a poll period late: a new ask would have its reply read under the new command, so
// the poll sends nothing and the link stays in step, for up to five seconds. Then the ask counts
// as unanswered and the link as out of step: the poll asks for the speed list instead, whose
// reply comes after every earlier one and answers nothing else, so it puts the link in step
// again; a speed list that comes late in turn can be taken for nothing else.
void CHVInterface::Reask(bool lastAskOpen) {
    const int code = NextOwed();
    if (code == 0) return;
    if (lastAskOpen) {
        if (ticksSinceAwait_ < kReaskWaitTicks) return;
        outOfStep_ = true;
    }
    if (outOfStep_) {
        if (resyncTriesLeft_ == 0) return;
        --resyncTriesLeft_;
        AwaitReply(kListCatSpeed);
        SendCommand(kCommandTexts[kListCatSpeed]);
        return;
    }
    --reaskTriesLeft_[code];
    if (code == kVer) versionStep_ = 0;
    AwaitReply(code);
    SendCommand(kCommandTexts[code]);
}

// A reply that answers no other command than the awaited one ended its wait: the device answers
// in order, so every reply to the commands before has come and the link is in step.
void CHVInterface::EndOwnWait() {
    EndWait();
    outOfStep_ = false;
    resyncTriesLeft_ = kReaskTries;
}

bool CHVInterface::ReplyWaitOver() const {
    return awaitedReply_ == 0 || ticksSinceAwait_ >= kMaxReplyWaitTicks ||
           (pollCounter_ % kReplyWaitTicks == 0 && !InputWaiting());
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
    deviceAnswered_ = true;
    const char* text = reinterpret_cast<const char*>(report.data());
    const std::string_view first(text + 2, strnlen(text + 2, kMaxPayload));
    if (!AnswersAnotherCommand(first.substr(0, first.find(';')))) replySinceAwait_ = true;
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

// A late channel list or speed list, read while another command is awaited, is no answer to it.
bool CHVInterface::AnswersAnotherCommand(std::string_view firstToken) const {
    return (awaitedReply_ != kList && IsChannelToken(firstToken)) ||
           (awaitedReply_ != kListCatSpeed && IsSpeedToken(firstToken));
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
        if (IsSpeedToken(token)) EndOwnWait();
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
    EndOwnWait();
}

// Whether the token names a channel (the first name it starts with); that channel is present.
bool CHVInterface::MarkChannelPresent(std::string_view token) {
    for (Channel channel : kAllChannels) {
        if (StartsWith(token, kChannelNames[channel])) {
            channelPresent[channel].store(1);
            channelListReceived.store(1);
            if (userInterfaceWake) userInterfaceWake->Signal();
            Settle(kList);
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
// line report's id, under which a program's bytes would key the transmitter. Out of step the
// digit may answer an earlier description: it is not taken and the wait goes on. An empty reply
// gives no id but ends the wait, as a reply does for the commands whose every reply ends it.
void CHVInterface::TakeDescriptionToken(Channel channel, std::string_view token) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (token.empty()) return EndWait();
    if (!digit(token[0]) || (token.size() > 1 && digit(token[1]))) return;
    if (outOfStep_) return;
    Settle(awaitedReply_);
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
        Settle(kVer);
        EndOwnWait();
    }
}

}  // namespace qx
