#include "ui/ports_page_model.h"

#include <filesystem>
#include <system_error>

#include "ui/status_page_model.h"

namespace qx {

int ComPortNumber(std::string_view name) {
    if (!name.starts_with("COM"))
        return 0;
    const std::string_view digits = name.substr(3);
    if (digits.empty() || digits.size() > 3 || digits.front() == '0')
        return 0;
    int number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + (c - '0');
    }
    return number <= kMaxPortNumber ? number : 0;
}

UsedPortTable ReadSystemPorts(const std::string& portsDirectory) {
    UsedPortTable used{};
    std::error_code error;
    std::filesystem::directory_iterator it(portsDirectory, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (const int number = ComPortNumber(it->path().filename().string()))
            used[number] = 1;
    }
    return used;
}

std::array<PortList, kChannelCount> ComputePortLists(const PortsPageInput& input,
                                                     const PortsPageStrings& strings) {
    std::array<PortList, kChannelCount> lists;
    for (PortList& list : lists)
        list.entries.push_back({strings.notSelected, 0});
    if (!input.selected)
        return lists;

    for (Channel channel : kAllChannels) {
        PortList& list = lists[channel];
        if (!input.present[channel]) {
            list.entries = {{kNotSupportedText, 0}};
            continue;
        }
        list.enabled = true;
        for (int n = 1; n <= kMaxPortNumber; ++n) {
            const std::string name = "COM" + std::to_string(n);
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
