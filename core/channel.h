#pragma once
// The four channels of an interface, always in this order wherever four values stand together.
#include <array>

namespace qx {

enum Channel : int { kCat = 0, kPttCw = 1, kFsk = 2, kWinKey = 3 };
constexpr int kChannelCount = 4;
constexpr std::array<Channel, kChannelCount> kAllChannels{kCat, kPttCw, kFsk, kWinKey};

// A channel's port is "COM<n>" with n in this range; 0 means no port.
constexpr int kMinPortNumber = 1;
constexpr int kMaxPortNumber = 255;

// The channel's name as the user reads it: "CAT", "PTT/CW", "FSK", "WinKey".
constexpr const char* ChannelTitle(Channel channel) {
    constexpr const char* kTitles[kChannelCount] = {"CAT", "PTT/CW", "FSK", "WinKey"};
    return kTitles[channel];
}

}  // namespace qx
