#include "sim/sim_transceiver.h"

#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace qx {

namespace {

constexpr std::size_t kMaxCommandLength = 64;  // longer garbage without ';' is thrown away

std::string Frequency(uint64_t hz) {
    char text[16];
    std::snprintf(text, sizeof text, "%011llu",
                  static_cast<unsigned long long>(hz % 100000000000ULL));
    return text;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Parses the parameter of a set command; false when it is not a plain decimal number.
bool Number(const std::string& text, uint64_t& value) {
    if (!AllDigits(text) || text.size() > 11) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

std::string SimTransceiver::Receive(const uint8_t* data, int count) {
    std::string answers;
    for (int i = 0; i < count; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == ';') {
            answers += Execute(pending_);
            pending_.clear();
        } else if (c != '\r' && c != '\n') {
            if (pending_.size() >= kMaxCommandLength) pending_.clear();
            pending_ += c;
        }
    }
    return answers;
}

std::string SimTransceiver::Execute(const std::string& command) {
    if (command.size() < 2) return "?;";
    const std::string name = command.substr(0, 2);
    const std::string parameter = command.substr(2);
    const bool read = parameter.empty();
    uint64_t value = 0;
    auto setOrRead = [&](auto& field, uint64_t limit, int width) -> std::string {
        if (read) {
            char text[24];
            std::snprintf(text, sizeof text, "%s%0*llu;", name.c_str(), width,
                          static_cast<unsigned long long>(field));
            return text;
        }
        if (!Number(parameter, value) || value > limit) return "?;";
        field = static_cast<std::remove_reference_t<decltype(field)>>(value);
        return "";
    };

    if (name == "FA")
        return read ? "FA" + Frequency(state_.frequencyA) + ";"
                    : setOrRead(state_.frequencyA, 99999999999ULL, 11);
    if (name == "FB")
        return read ? "FB" + Frequency(state_.frequencyB) + ";"
                    : setOrRead(state_.frequencyB, 99999999999ULL, 11);
    if (name == "MD") {
        if (!read && (parameter == "0" || parameter == "8")) return "?;";
        return setOrRead(state_.mode, 9, 1);
    }
    if (name == "AI") return setOrRead(state_.autoInformation, 4, 1);
    if (name == "PS") return setOrRead(state_.power, 1, 1);
    if (name == "FR") return setOrRead(state_.receiveVfo, 2, 1);
    if (name == "FT") return setOrRead(state_.transmitVfo, 2, 1);
    if (name == "ID" && read) return "ID019;";
    if (name == "IF" && read) return InformationAnswer();
    if (name == "TX") {
        state_.transmitting = true;
        return "";
    }
    if (name == "RX") {
        state_.transmitting = false;
        return "";
    }
    return "?;";
}

// IF answer of 38 characters: frequency, step, RIT/XIT, memory, TX, mode, VFO, scan, split,
// tone and shift, in the radio's fixed layout.
std::string SimTransceiver::InformationAnswer() const {
    char text[48];
    const int split = state_.receiveVfo != state_.transmitVfo ? 1 : 0;
    std::snprintf(text, sizeof text, "IF%s     +000000000%d%d%d0%d0000;",
                  Frequency(state_.frequencyA).c_str(), state_.transmitting ? 1 : 0, state_.mode,
                  state_.receiveVfo, split);
    return text;
}

}  // namespace qx
