#include "ui/ports_page_model.h"

#include <filesystem>
#include <system_error>

#include "platform/ports_directory.h"
#include "ui/status_page_model.h"

namespace qx {

UsedPortTable ReadSystemPorts(const std::string& portsDirectory) {
    UsedPortTable used{};
    std::error_code error;
    std::filesystem::directory_iterator it(portsDirectory, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (const int number = PortNumberFromName(it->path().filename().string())) used[number] = 1;
    }
    return used;
}

std::array<PortList, kChannelCount> ComputePortLists(const PortsPageInput& input,
                                                     const PortsPageStrings& strings) {
    std::array<PortList, kChannelCount> lists;
    for (PortList& list : lists) list.entries.push_back({strings.notSelected, 0});
    if (!input.selected) return lists;

    for (Channel channel : kAllChannels) {
        PortList& list = lists[channel];
        if (!input.present[channel]) {
            list.entries = {{kNotSupportedText, 0}};
            continue;
        }
        list.enabled = true;
        for (int n = 1; n <= kMaxPortNumber; ++n) {
            const std::string name = PortName(n);
            if (!input.used[n]) {
                list.entries.push_back({name, n});
            } else if (n == input.portNumbers[channel]) {
                list.selected = static_cast<int>(list.entries.size());
                list.entries.push_back({name + strings.currentSelection, n});
            }
        }
    }
    return lists;
}

}  // namespace qx
