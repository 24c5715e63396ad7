#include "sim/sim_device.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace qx {

namespace {

constexpr uint8_t kReplyByteOne = 0xA5;  // byte 1 of a reply carries nothing; make that visible

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Join(const std::vector<std::string>& tokens) {
    std::string text;
    for (const auto& token : tokens) {
        if (!text.empty()) text += ';';
        text += token;
    }
    return text;
}

}  // namespace

int DataChannelOf(const SimDeviceConfig& config, int reportId) {
    for (Channel channel : {kCat, kFsk, kWinKey})
        if (config.reportIds[channel] == reportId) return channel;
    return -1;
}

SimDevice::SimDevice(SimDeviceConfig config)
    : config_(std::move(config)),
      inputReady_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      receivedSignal_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

// Level-triggered like a hidraw node: readable exactly while the next read has a report to
// return; a reply held back by replyDelayTicks shows once it has reached the device.
void SimDevice::UpdateInputReadyLocked() {
    const uint64_t nextRead = reads_ + 1;
    const bool readable = std::any_of(input_.begin(), input_.end(), [&](const PendingInput& p) {
        return p.readyAtRead <= nextRead;
    });
    if (readable == inputSignalled_) return;
    uint64_t value = 1;
    const bool done = readable ? ::write(inputReady_.Get(), &value, sizeof value) == sizeof value
                               : ::read(inputReady_.Get(), &value, sizeof value) == sizeof value;
    if (done) inputSignalled_ = readable;
}

int SimDevice::Read(uint64_t generation, uint8_t* data, std::size_t length) {
    MutexLock lock(mutex_);
    if (!plugged_ || generation != generation_) return -1;
    const uint64_t reads = ++reads_;
    auto ready = std::find_if(input_.begin(), input_.end(),
                              [&](const PendingInput& p) { return p.readyAtRead <= reads; });
    int count = 0;
    if (ready != input_.end()) {
        count = static_cast<int>(std::min(length, ready->bytes.size()));
        std::memcpy(data, ready->bytes.data(), count);
        input_.erase(ready);
    }
    UpdateInputReadyLocked();
    return count;
}

void SimDevice::StallWrites(std::chrono::milliseconds limit) {
    MutexLock lock(mutex_);
    writesStalled_ = true;
    stallLimit_ = limit;
}

void SimDevice::ResumeWrites() {
    {
        MutexLock lock(mutex_);
        writesStalled_ = false;
    }
    stallChanged_.NotifyAll();
}

bool SimDevice::WaitForStalledWrite(std::chrono::milliseconds timeout) const {
    MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stalledWrites_ == 0 && stallChanged_.WaitUntil(mutex_, deadline)) {}
    return stalledWrites_ > 0;
}

int SimDevice::Write(uint64_t generation, const uint8_t* data, std::size_t length) {
    MutexLock lock(mutex_);
    if (writesStalled_) {
        ++stalledWrites_;
        stallChanged_.NotifyAll();
        const auto deadline = std::chrono::steady_clock::now() + stallLimit_;
        while (writesStalled_ && plugged_ && stallChanged_.WaitUntil(mutex_, deadline)) {}
        --stalledWrites_;
        return -1;  // the stalled report never reached the device
    }
    if (!plugged_ || generation != generation_) return -1;
    if (length == 0) return -1;
    SimReport report;
    report.tick = reads_;
    report.time = std::chrono::steady_clock::now();
    std::memcpy(report.bytes.data(), data, std::min(length, report.bytes.size()));
    received_.push_back(report);
    if (received_.size() > config_.recordLimit) {
        received_.pop_front();
        ++receivedDropped_;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const auto signalled = ::write(receivedSignal_.Get(), &one, sizeof one);

    const auto& bytes = report.bytes;
    const int id = bytes[0];
    if (id == kCommandReportId) {
        const char* text = reinterpret_cast<const char*>(bytes.data() + 1);
        HandleCommand(std::string(text, strnlen(text, bytes.size() - 1)));
    } else if (id != kLineReportId) {
        const int channel = DataChannelOf(config_, id);
        if (channel >= 0) {
            const int count = std::min<int>(bytes[1], kMaxPayload);
            const std::string payload(reinterpret_cast<const char*>(bytes.data() + 2), count);
            AppendChannelData(channel, payload);
            if (channel == kCat) {
                QueueData(id, transceiver_.Receive(bytes.data() + 2, count), reads_ + 1);
            } else if ((channel == kFsk && config_.echoFsk) ||
                       (channel == kWinKey && config_.echoWinKey)) {
                QueueData(id, payload, reads_ + 1);
            }
        }
    }
    UpdateInputReadyLocked();
    return static_cast<int>(length);
}

// Keeps at most recordLimit bytes; trimming only once twice that much is held keeps the cost
// of a long run's appends constant per byte.
void SimDevice::AppendChannelData(int channel, const std::string& payload) {
    std::string& data = channelData_[channel];
    data += payload;
    if (data.size() > 2 * config_.recordLimit) data.erase(0, data.size() - config_.recordLimit);
}

void SimDevice::HandleCommand(const std::string& text) {
    commands_.push_back(text);
    if (commands_.size() > config_.recordLimit) commands_.pop_front();
    RecordSetting(text);
    if (!config_.answersCommands ||
        std::find(config_.unansweredCommands.begin(), config_.unansweredCommands.end(), text) !=
            config_.unansweredCommands.end())
        return;
    if (config_.replyOverride) {
        if (auto reply = config_.replyOverride(text)) {
            QueueReply(*reply);
            return;
        }
    }
    QueueReply(ReplyTo(text));
}

std::string SimDevice::ReplyTo(const std::string& text) const {
    if (text == "LIST") return Join(config_.channelTokens);
    if (text == "LIST CAT;SPEED") return config_.catSpeeds;
    if (text == "VER")
        return "HAM RADIO INTERFACE;" + config_.modelName + ";" + config_.versionText;
    static const char* const kDescCommands[kChannelCount] = {"GET CAT;DESC", "GET PTTCW;DESC",
                                                             "GET FSK;DESC", "GET WINKEY;DESC"};
    for (Channel channel : kAllChannels)
        if (text == kDescCommands[channel])
            return std::string(1, static_cast<char>('0' + config_.reportIds[channel]));
    if (StartsWith(text, "SET ")) return "OK 00";
    return "ERROR";
}

void SimDevice::RecordSetting(const std::string& text) {
    auto value = [&](const char* prefix) { return text.substr(std::strlen(prefix)); };
    if (StartsWith(text, "SET CAT;SPEED=")) {
        transceiver_.State().serialSpeed = std::atoi(value("SET CAT;SPEED=").c_str());
    } else if (StartsWith(text, "SET CAT;MODE=")) {
        transceiver_.State().serialMode = value("SET CAT;MODE=");
    } else if (StartsWith(text, "SET FSK;SPEED=")) {
        fskSpeed_ = std::atoi(value("SET FSK;SPEED=").c_str());
    } else if (StartsWith(text, "SET FSK;MODE=")) {
        fskMode_ = value("SET FSK;MODE=");
    } else if (StartsWith(text, "SET FSK;INVERS=")) {
        fskInverted_ = std::atoi(value("SET FSK;INVERS=").c_str());
    }
}

void SimDevice::QueueReply(const std::string& text) {
    const std::size_t chunk = config_.replyChunkSize > 0 ? config_.replyChunkSize : 62;
    const uint64_t readyAt = reads_ + 1 + std::max(config_.replyDelayTicks, 0);
    std::size_t offset = 0;
    do {
        PendingInput pending{readyAt, {}};
        pending.bytes[0] = kCommandReportId;
        pending.bytes[1] = kReplyByteOne;
        const std::size_t count = std::min({chunk, text.size() - offset, std::size_t{62}});
        std::memcpy(pending.bytes.data() + 2, text.data() + offset, count);
        input_.push_back(pending);
        offset += count;
    } while (offset < text.size());
}

void SimDevice::QueueData(int reportId, const std::string& data, uint64_t readyAtRead) {
    for (std::size_t offset = 0; offset < data.size(); offset += kMaxPayload) {
        PendingInput pending{readyAtRead, {}};
        const std::size_t count = std::min<std::size_t>(kMaxPayload, data.size() - offset);
        pending.bytes[0] = static_cast<uint8_t>(reportId);
        pending.bytes[1] = static_cast<uint8_t>(count);
        std::memcpy(pending.bytes.data() + 2, data.data() + offset, count);
        input_.push_back(pending);
    }
}

void SimDevice::SetPlugged(bool plugged) {
    {
        MutexLock lock(mutex_);
        if (plugged == plugged_) return;
        plugged_ = plugged;
        if (plugged) {
            ++generation_;
            input_.clear();
            UpdateInputReadyLocked();
        }
    }
    stallChanged_.NotifyAll();  // an unplug ends stalled writes
}

bool SimDevice::Plugged() const {
    MutexLock lock(mutex_);
    return plugged_;
}

uint64_t SimDevice::Generation() const {
    MutexLock lock(mutex_);
    return generation_;
}

void SimDevice::QueueInput(const std::array<uint8_t, 64>& report) {
    MutexLock lock(mutex_);
    input_.push_back({reads_ + 1, report});
    UpdateInputReadyLocked();
}

void SimDevice::QueueInputState(uint8_t state) {
    std::array<uint8_t, 64> report{};
    report[0] = static_cast<uint8_t>(config_.reportIds[kPttCw]);
    report[1] = state;
    QueueInput(report);
}

void SimDevice::QueueChannelData(Channel channel, const std::string& data) {
    MutexLock lock(mutex_);
    QueueData(config_.reportIds[channel], data, reads_ + 1);
    UpdateInputReadyLocked();
}

std::vector<SimReport> SimDevice::Received() const { return ReceivedSince(0); }

std::vector<SimReport> SimDevice::ReceivedSince(std::size_t first) const {
    MutexLock lock(mutex_);
    const std::size_t skip = first > receivedDropped_ ? first - receivedDropped_ : 0;
    if (skip >= received_.size()) return {};
    return {received_.begin() + static_cast<std::ptrdiff_t>(skip), received_.end()};
}

std::size_t SimDevice::ReceivedCount() const {
    MutexLock lock(mutex_);
    return receivedDropped_ + received_.size();
}

std::vector<std::string> SimDevice::Commands() const {
    MutexLock lock(mutex_);
    return {commands_.begin(), commands_.end()};
}

std::vector<SimReport> SimDevice::LineReports() const {
    MutexLock lock(mutex_);
    std::vector<SimReport> lines;
    for (const auto& report : received_)
        if (report.bytes[0] == kLineReportId) lines.push_back(report);
    return lines;
}

std::string SimDevice::ChannelData(Channel channel) const {
    MutexLock lock(mutex_);
    return channelData_[channel];
}

std::string SimDevice::TakeChannelData(Channel channel) {
    MutexLock lock(mutex_);
    return std::exchange(channelData_[channel], std::string());
}

std::size_t SimDevice::PendingInputCount() const {
    MutexLock lock(mutex_);
    return input_.size();
}

uint64_t SimDevice::ReadCount() const {
    MutexLock lock(mutex_);
    return reads_;
}

std::optional<int> SimDevice::FskInverted() const {
    MutexLock lock(mutex_);
    return fskInverted_;
}

std::string SimDevice::FskMode() const {
    MutexLock lock(mutex_);
    return fskMode_;
}

int SimDevice::FskSpeed() const {
    MutexLock lock(mutex_);
    return fskSpeed_;
}

TransceiverState SimDevice::Transceiver() const {
    MutexLock lock(mutex_);
    return transceiver_.State();
}

}  // namespace qx
