#pragma once
// One live link with one connected "QX-4": its open device, its worker thread, the relay between
// the device's channels and their virtual ports, and the command protocol.
//
// Time runs in 1 ms ticks, but the worker runs a service pass only when there is work: at once
// when a port has bytes or the device a report (at most one pass per tick), every tick while
// something counts or a command is queued, on the tick a timed rule is due (the settings poll, a
// line repeat), and otherwise it sleeps until news wakes it: the device's descriptor, an event of
// a channel port, a request of the user interface, or Close.
//
// What a pass counts: the ticks slept before the tick the previous pass asked for had nothing
// due, so they count in full (the poll counter, the line repeat counter, and with them the reply
// wait, keep elapsed time while the link sleeps); the pass itself is one tick. A pass that comes
// after the tick it was due on, because the worker could not run (a stall), stands for that tick
// alone: a stall counts once, as a periodic timer that does not make up missed periods would
// have it. So after a stall the device's waiting reports are read one per tick on the passes
// that follow, each under the command it answers, and one queued command goes out per tick.
//
// Threads: the user interface thread constructs, starts, closes and destroys the link, binds and
// clears channel ports (holding portGuard, then Wake) and makes requests; the worker runs the
// service passes only. The channel port slots (ports) are guarded by portGuard; the other fields
// both threads touch are atomics.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/channel.h"
#include "core/device_protocol.h"
#include "core/thread_annotations.h"
#include "link/CInterfaceNotificatorHander.h"
#include "link/tick_clock.h"
#include "platform/fd.h"
#include "platform/hid.h"
#include "platform/keying_guardian.h"
#include "platform/wake_event.h"
#include "vsp/IVSPortAx.h"

namespace qx {

class CVSPDriver;

// A channel's virtual port: the number the user chose and, while bound, the component instance
// with its event sink. Every field is used only under the link's portGuard.
struct ChannelPortSlot {
    int portNumber = 0;  // 0 = none; a number outside 1..255 gives no port
    // The settings file's value when it is not a number: no port, and shown as it is.
    std::string unusableSetting;
    std::unique_ptr<IVSPortAx> instance;  // null = no port
    // The port was bound with a program holding it since before this link (kept while the
    // interface was away, or a name taken over): its lines are not a request made now.
    bool linesFromBefore = false;
    std::shared_ptr<CVSPDriver> sink;
    uint32_t cookie = 0;
};

class CHVInterface final : public CInterfaceNotificatorHander {
public:
    explicit CHVInterface(HidBackend& hid);
    ~CHVInterface();
    CHVInterface(const CHVInterface&) = delete;
    CHVInterface& operator=(const CHVInterface&) = delete;

    // Opens the device and starts the worker; why not, when the device cannot be opened (as the
    // hid backend tells it) or the worker cannot start. With ignoreSerialNumbers the device is
    // opened by its enumerated path (devicePath), so two links never share one device.
    Expected<void> Start(int enumerationPosition, bool ignoreSerialNumbers);
    // The first half of Start: opens the device and hands it to the keying guardian, without the
    // worker, so tests and benchmarks can drive ServiceTick by hand. Close closes it. The worker
    // begins by releasing the device's lines (CW off, then PTT off).
    Expected<void> OpenDevice(int enumerationPosition, bool ignoreSerialNumbers);
    // Stops and joins the worker, then closes the device; false when no device was open.
    // Never called while holding portGuard: the worker's last pass may be waiting for it. Waits
    // for the one device write under way (the rest of that pass's reports are dropped) and, but
    // for a device that refused it (stalled or gone), for two line reports that drop CW and then
    // PTT: a transmitter is never left keyed by a link that ends.
    bool Close();
    // One 1 ms tick; public so tests can drive the link by hand without the worker.
    void ServiceTick();
    // One pass, elapsedTicks (at least 1) after the previous one: the ticks before the one that
    // pass asked for only count, and the pass runs one tick with everything it finds (see
    // above: the ticks it came late for are not made up). Returns the ticks from this pass to
    // the next one a rule needs, or kNoPassDue when only news can start work. Public so tests
    // can run the worker's schedule on simulated time.
    int64_t ServicePass(int64_t elapsedTicks);

    // Wakes a sleeping worker to look at its work; any thread. Whoever binds or clears a channel
    // port, or changes a request field directly, calls it afterwards.
    void Wake() { wake_->Signal(); }
    // What the channel ports' event sinks signal to wake the worker; it outlives the link.
    std::shared_ptr<WakeEvent> WorkerWake() const { return wake_; }

    // Identity, filled in by the manager on the user interface thread before Start.
    int modelIndex = 0;
    std::string key;
    std::string manufacturer;
    std::string product;
    std::string devicePath;
    int enumerationPosition = 0;
    CInterfaceNotificatorHander* observer = nullptr;

    // Report ids, learned from the device (worker writes, tests read).
    std::array<std::atomic<int>, kChannelCount> reportIds{2, 3, 4, 5};

    // Set by the worker, read by the user interface.
    std::array<std::atomic<int>, kChannelCount> channelPresent{0, 0, 0, 0};
    std::atomic<int> channelListReceived{0};  // cleared by the user interface
    std::atomic<int> identityChanged{0};      // cleared by the user interface
    // Signalled by the worker after it raised one of the two flags above, and by the channel
    // ports' sinks after a port's change, so that a user interface thread asleep until news
    // looks at them. Set before Start; null: nobody is woken.
    std::shared_ptr<WakeEvent> userInterfaceWake;
    std::string VersionText() const;  // the firmware's version text, "" until known

    // Requests of the user interface, read by the worker.
    std::atomic<int> pttTestCountdown{0};
    std::atomic<int> cwTestCountdown{0};
    std::atomic<int> fskInverted{0};
    std::atomic<int> fskInversionPending{1};
    void StartPttTest();  // restarts the 1000-tick test; never lost to the worker's decrement
    void StartCwTest();
    void RequestFskInversion(bool inverted);  // sent at the next settings poll

    // Kept by the worker for the tests: 1 while it sleeps with no pass due by time.
    std::atomic<int> sleeping{0};

    // A device to guard that no keying guardian holds (user interface thread).
    bool KeyingUnguarded() const { return keyingGuard_.Unguarded(); }

    // Reports the device did not take whole (lost, not retried), for tracing: the worker
    // counts, anyone reads.
    std::atomic<uint64_t> reportWritesRefused{0};

    // Bytes from the device that an open port could not take because its program does not read
    // them fast enough: whole reports are dropped. The worker counts, anyone reads.
    std::array<std::atomic<uint64_t>, kChannelCount> droppedBytes{};

    // Channel ports: the worker uses them under portGuard in every pass, but never writes to
    // the device while holding it, so a stalled device cannot hold up provisioning. The user
    // interface binds, clears and numbers them under it.
    mutable Mutex portGuard;
    std::array<ChannelPortSlot, kChannelCount> ports QX_GUARDED_BY(portGuard);

private:
    using Report = std::array<uint8_t, kReportSize>;
    // Baud rate, data bits, parity code and stop-bit code last sent for a channel.
    struct SentSettings {
        int baudRate;
        int dataBits;
        int parity;
        int stopBits;
    };

    enum class Wakening { kStop, kTimer, kNews };
    static constexpr int kCommandCodeCount = 30;  // command codes 0 (none) to 29

    void WorkerLoop();
    void WriteReport(const Report& report);  // worker only; counts the outcome
    static void RaiseWorkerPriority();
    void Post(const Report& report) { outbox_.push_back(report); }
    void WriteOutbox();
    // The worker's first act: releases whatever an earlier run left keyed.
    void ReleaseLinesAtStart();
    // After the worker has ended: ends the line tests and releases the device's lines.
    void UnkeyBeforeClosing();
    // Sleeps until the tick timer reaches deadline (0: no timer), the stop event, and with
    // news also until the device has a report or the wake event is signalled.
    Wakening Sleep(int64_t deadline, bool news);
    int64_t NextPassDue() QX_REQUIRES(portGuard);
    bool AnyPortHasBytes() QX_REQUIRES(portGuard);

    // Report channel and lines (worker only).
    IVSPortAx* OpenPort(Channel channel)
        QX_REQUIRES(portGuard);  // null unless the port exists and reports open
    void SendLineReport() QX_REQUIRES(portGuard);
    void CountSleptTicks(int64_t ticks);
    void RunTick() QX_REQUIRES(portGuard);
    void RunCommandProtocolTick() QX_REQUIRES(portGuard);
    void RunLineTest(std::atomic<int>& countdown, uint8_t bit, int portLineState)
        QX_REQUIRES(portGuard);
    void ServicePttCwPort() QX_REQUIRES(portGuard);
    void CountLineRepeat() QX_REQUIRES(portGuard);
    void UpdateLine(int newState, int& storedState, uint8_t bit) QX_REQUIRES(portGuard);
    void DropLines() QX_REQUIRES(portGuard);
    void Receive() QX_REQUIRES(portGuard);
    bool InputWaiting() const;
    void DeliverToPort(Channel channel, const Report& report) QX_REQUIRES(portGuard);
    void NoteDelivery(Channel channel, bool taken, int count);
    void Transmit(Channel channel) QX_REQUIRES(portGuard);

    // Command protocol (worker only).
    void QueueStartupSequence();
    void PollSettings() QX_REQUIRES(portGuard);
    void CountSleptProtocolTicks(int64_t ticks);
    int64_t TicksUntilPoll()
        QX_REQUIRES(portGuard);  // kNoPassDue when the poll has nothing to look at
    void PollChannelSettings(Channel channel, SentSettings& sent, const char* name)
        QX_REQUIRES(portGuard);
    void SendQueuedCommand();
    bool ReplyWaitOver() const;
    void TrackStep(int code);
    void AwaitReply(int code);
    void Owe(int code);
    void Settle(int code) { reaskTriesLeft_[code] = 0; }
    int NextOwed() const;
    bool MayReask() const;
    void Reask(bool lastAskOpen);
    void SendCommand(const char* text);
    void HandleReply(const Report& report);
    void ParseReplyToken(std::string_view token);
    bool AnswersAnotherCommand(std::string_view firstToken) const;
    void EndWait() { awaitedReply_ = 0; }
    void EndOwnWait();
    void TakeChannelListToken(std::string_view token);
    bool MarkChannelPresent(std::string_view token);
    void TakeDescriptionToken(Channel channel, std::string_view token);
    void TakeVersionToken(std::string_view token);

    HidBackend& hid_;
    std::unique_ptr<HidDevice> device_;
    // The open device in the keying guardian's care, so that it is unkeyed however the program
    // ends; taken back before the device is closed. The worker only notes line flags in it.
    GuardedDevice keyingGuard_;
    UniqueFd stopEvent_;
    UniqueFd tickTimer_;
    const std::shared_ptr<WakeEvent> wake_ = std::make_shared<WakeEvent>();
    int devicePollFd_ = -1;  // the worker stops sleeping on it once it reports the device gone
    std::thread worker_;
    std::atomic<bool> stopping_{false};
    int64_t passDue_ = 1;  // what the last pass returned: the first tick a rule needed
    // Reports made during a tick, written in order once the tick has let go of portGuard:
    // a device write can block (a stalled endpoint, a hung firmware).
    std::vector<Report> outbox_;

    // Report channel state.
    int lineRepeatCounter_ = 0;
    int lineRepeatPending_ = 0;
    uint8_t lineFlags_ = 0;
    uint8_t heldLines_ = 0;  // the lines the device is known to hold (see WriteReport)
    bool lastWriteRefused_ = false;
    int deviceInputState_ = 0;
    int inputStateApplied_ = 0;  // what the PTT/CW port was last given of deviceInputState_
    int pttCwPortOpen_ = 0;
    int rtsState_ = 0;
    int dtrState_ = 0;
    // Per channel: the port refused the last report, and droppedBytes when that run began.
    std::array<bool, kChannelCount> dropping_{};
    std::array<uint64_t, kChannelCount> droppedBeforeRun_{};

    // Command protocol state.
    int awaitedReply_ = 0;
    int currentCommand_ = 0;
    int startupQueued_ = 0;
    int versionStep_ = 0;
    int pollCounter_ = 0;
    std::string commandQueue_;  // one command code per byte, oldest first
    // Whether replies are read under the commands they answer (see the command protocol file):
    // out of step from a command sent while the previous one's reply had not come (unless that
    // reply cannot be taken for another), until a reply that answers only the awaited command
    // (a channel list, a speed list, a version) ends its wait.
    bool outOfStep_ = false;
    // A reply was read since the awaited command went out, but for a late channel list or speed
    // list read under another command.
    bool replySinceAwait_ = false;
    bool deviceAnswered_ = false;  // a reply was read on this connection
    int ticksSinceAwait_ = 0;      // since a command that awaits its reply went out, up to 5000
    int resyncTriesLeft_ = 3;      // speed lists the polls may still ask to get back in step
    // Per command code: how often a poll may still ask it again (0: nothing owed).
    std::array<uint8_t, kCommandCodeCount> reaskTriesLeft_{};
    SentSettings catSent_{9600, 8, 78, 1};
    SentSettings fskSent_{45, 5, 78, 1};

    mutable Mutex versionGuard_;
    std::string versionText_ QX_GUARDED_BY(versionGuard_);
};

}  // namespace qx
