#pragma once
// A simulated "QX-4": takes the 64-byte output reports a link writes, answers the firmware
// command protocol on report id 1, relays CAT data to a simulated transceiver, echoes or sinks
// FSK and WinKey data, and queues 64-byte input reports for the link to read. It records every
// report it receives so tests can assert exactly what went out, and when.
//
// A tick is one Read call: the link reads once per tick, so a report's tick stamp is the number
// of reads made before it arrived. Thread-safe: the link's worker reads and writes while tests
// and the control thread plug, unplug and inspect.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/channel.h"
#include "core/device_protocol.h"
#include "core/thread_annotations.h"
#include "platform/fd.h"
#include "sim/sim_transceiver.h"

namespace qx {

struct SimDeviceConfig {
    std::string serialNumber = "QX4SIM0001";
    std::string manufacturer = "Halvorn";
    std::string product = "QX-4";
    // Tokens of the "LIST" reply, in order.
    std::vector<std::string> channelTokens{"CAT", "PTTCW", "FSK", "WINKEY"};
    // Report ids the device names in its "GET <channel>;DESC" replies and uses for its data.
    std::array<int, kChannelCount> reportIds{2, 3, 4, 5};
    std::string catSpeeds = "4800;9600;115200";
    std::string modelName = "QX-4";
    std::string versionText = "1.0.5";
    bool answersCommands = true;
    std::vector<std::string> unansweredCommands;  // command texts that get no reply
    // Extra reads before a reply reaches the reader (0: the next read), as from a device that
    // answers late. Until then the descriptor does not report it: a late reply is not in the
    // device yet, so a reader that wants it keeps reading once a tick.
    int replyDelayTicks = 0;
    // > 0: the reply text is split over reports of at most this many characters each.
    int replyChunkSize = 0;
    // Replaces the reply to a command text when it returns a value. A text of 62 characters or
    // more fills the report with no terminating 0 (a malformed reply). Called under the
    // device's lock: it must not call back into the device.
    std::function<std::optional<std::string>(const std::string& command)> replyOverride;
    bool echoFsk = false;    // false: FSK data is only recorded
    bool echoWinKey = true;  // true: WinKey data comes back as sent
    // How many received reports (and commands) are kept for inspection; ChannelData keeps at
    // least the last this many bytes per channel. A device left running with data flowing (the
    // demo mode, a soak run) must not grow without end; the oldest go first.
    std::size_t recordLimit = 65536;
};

// The data channel (CAT, FSK or WinKey) a report id belongs to under config, or -1; PTT/CW
// carries no data.
int DataChannelOf(const SimDeviceConfig& config, int reportId);

struct SimReport {
    uint64_t tick = 0;  // reads made before the report arrived
    std::chrono::steady_clock::time_point time;
    std::array<uint8_t, 64> bytes{};
};

class SimDevice {
public:
    explicit SimDevice(SimDeviceConfig config = {});

    const SimDeviceConfig& Config() const { return config_; }  // fixed after construction

    // The device side, used through an open handle. generation is the plug generation the
    // handle was opened in; an unplugged or replugged device fails older handles with -1.
    int Read(uint64_t generation, uint8_t* data, std::size_t length);
    int Write(uint64_t generation, const uint8_t* data, std::size_t length);

    // A stalled endpoint or a hung firmware: while writes are stalled, every write blocks until
    // ResumeWrites, until the device is unplugged (both end it as a failed write, as the kernel
    // does), or until limit has passed (the kernel's USB write timeout), then fails with -1.
    void StallWrites(std::chrono::milliseconds limit);
    void ResumeWrites();
    // Waits up to timeout until a write is blocked in a stall; true when one is.
    bool WaitForStalledWrite(std::chrono::milliseconds timeout) const;

    // Plugging: each plug starts a new generation with an empty input queue.
    void SetPlugged(bool plugged);
    bool Plugged() const;
    uint64_t Generation() const;
    // Readable while input reports wait for the link (an eventfd; -1 if none could be made).
    int InputReadyFd() const { return inputReady_.Get(); }

    // Input for the link: a raw 64-byte report, an input state on the PTT/CW report id, or
    // data on a channel (split into reports of at most 62 bytes).
    void QueueInput(const std::array<uint8_t, 64>& report);
    void QueueInputState(uint8_t state);
    void QueueChannelData(Channel channel, const std::string& data);

    // What the device received.
    // Reports are numbered from 0 in arrival order; numbers stay valid when the oldest reports
    // are let go beyond recordLimit, and ReceivedSince returns only those still kept.
    std::vector<SimReport> Received() const;
    std::vector<SimReport> ReceivedSince(std::size_t first) const;
    std::size_t ReceivedCount() const;  // reports received so far, kept or not
    // Readable once a report arrived since it was last read (an eventfd; -1 if none could be
    // made), so a watcher of the received reports can sleep while nothing comes.
    int ReceivedFd() const { return receivedSignal_.Get(); }
    std::vector<std::string> Commands() const;       // texts of report id 1, in order
    std::vector<SimReport> LineReports() const;      // report id 3, in order
    std::string ChannelData(Channel channel) const;  // payload bytes received on a data channel
    std::string TakeChannelData(Channel channel);    // the same, and forgets them
    std::size_t PendingInputCount() const;           // input reports not yet read by the link
    uint64_t ReadCount() const;
    // The firmware's reply to a command text, as configured (no override, split or delay).
    std::string ReplyTo(const std::string& text) const;
    std::optional<int> FskInverted() const;  // from "SET FSK;INVERS=", none until sent
    std::string FskMode() const;             // from "SET FSK;MODE=", "" until sent
    int FskSpeed() const;                    // from "SET FSK;SPEED=", 0 until sent
    TransceiverState Transceiver() const;    // includes the forwarded CAT speed and mode

private:
    struct PendingInput {
        uint64_t readyAtRead;
        std::array<uint8_t, 64> bytes;
    };

    void HandleCommand(const std::string& text) QX_REQUIRES(mutex_);

    void RecordSetting(const std::string& text) QX_REQUIRES(mutex_);
    void AppendChannelData(int channel, const std::string& payload) QX_REQUIRES(mutex_);
    void QueueReply(const std::string& text) QX_REQUIRES(mutex_);
    void QueueData(int reportId, const std::string& data, uint64_t readyAtRead) QX_REQUIRES(mutex_);
    void UpdateInputReadyLocked() QX_REQUIRES(mutex_);

    const SimDeviceConfig config_;
    mutable Mutex mutex_;
    mutable CondVar stallChanged_;
    bool writesStalled_ QX_GUARDED_BY(mutex_) = false;
    std::chrono::milliseconds stallLimit_ QX_GUARDED_BY(mutex_){0};
    int stalledWrites_ QX_GUARDED_BY(mutex_) = 0;  // writes blocked in a stall right now
    bool plugged_ QX_GUARDED_BY(mutex_) = true;
    uint64_t generation_ QX_GUARDED_BY(mutex_) = 1;
    uint64_t reads_ QX_GUARDED_BY(mutex_) = 0;
    std::deque<PendingInput> input_ QX_GUARDED_BY(mutex_);
    UniqueFd inputReady_;
    bool inputSignalled_ QX_GUARDED_BY(mutex_) = false;
    std::deque<SimReport> received_ QX_GUARDED_BY(mutex_);
    std::size_t receivedDropped_ QX_GUARDED_BY(mutex_) =
        0;  // reports let go from the front of received_
    UniqueFd receivedSignal_;
    std::deque<std::string> commands_ QX_GUARDED_BY(mutex_);
    std::array<std::string, kChannelCount> channelData_ QX_GUARDED_BY(mutex_);
    std::optional<int> fskInverted_ QX_GUARDED_BY(mutex_);
    std::string fskMode_ QX_GUARDED_BY(mutex_);
    int fskSpeed_ QX_GUARDED_BY(mutex_) = 0;
    SimTransceiver transceiver_ QX_GUARDED_BY(mutex_);
};

}  // namespace qx
