#pragma once
// A transceiver behind the simulated CAT channel, speaking the Kenwood TS-2000 style ASCII
// dialect (commands of two letters, parameters, ';') well enough for a rig-control program set
// to that radio to read and set frequency and mode. Not thread-safe: its SimDevice guards it.
#include <cstdint>
#include <string>

namespace qx {

struct TransceiverState {
    uint64_t frequencyA = 14074000;  // Hz
    uint64_t frequencyB = 7074000;
    int mode = 2;  // 1 LSB, 2 USB, 3 CW, 4 FM, 5 AM, 6 FSK, 7 CW-R, 9 FSK-R
    int autoInformation = 0;
    int power = 1;
    int receiveVfo = 0;  // 0 VFO A, 1 VFO B
    int transmitVfo = 0;
    bool transmitting = false;
    int serialSpeed = 9600;          // as forwarded by the link (SET CAT;SPEED=)
    std::string serialMode = "8N1";  // as forwarded by the link (SET CAT;MODE=)
};

class SimTransceiver {
public:
    // Takes bytes the link sent on CAT and returns the radio's answers (possibly empty).
    std::string Receive(const uint8_t* data, int count);
    const TransceiverState& State() const { return state_; }
    TransceiverState& State() { return state_; }

private:
    std::string Execute(const std::string& command);
    std::string InformationAnswer() const;

    TransceiverState state_;
    std::string pending_;  // bytes of a command not yet ended by ';'
};

}  // namespace qx
