#include "ui/ports_page_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qx {
namespace {

const PortsPageStrings kStrings{"not selected", " - current selection"};

PortsPageInput LinkWithAllChannels() {
    PortsPageInput input;
    input.selected = true;
    input.present.fill(true);
    return input;
}

// Texts of a list, for compact comparisons.
std::vector<std::string> Texts(const PortList& list) {
    std::vector<std::string> texts;
    for (const PortListEntry& entry : list.entries) texts.push_back(entry.text);
    return texts;
}

TEST(PortsPageModel, ReadSystemPortsSeesComNamesOfTheDirectory) {
    const std::filesystem::path dir =
        std::filesystem::path(testing::TempDir()) / ("ports-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    for (const char* name : {"COM3", "COM255", "COM256", "COM07", "notes"})
        std::ofstream(dir / name) << "";
    std::filesystem::create_symlink("/dev/pts/does-not-exist",
                                    dir / "COM12");  // dangling, still taken

    const UsedPortTable used = ReadSystemPorts(dir.string());
    std::vector<int> taken;
    for (int n = 0; n <= kMaxPortNumber; ++n)
        if (used[n]) taken.push_back(n);
    EXPECT_EQ(taken, (std::vector<int>{3, 12, 255}));
    std::filesystem::remove_all(dir);

    const UsedPortTable none = ReadSystemPorts((dir / "missing").string());
    EXPECT_EQ(std::count(none.begin(), none.end(), 1), 0);
}

TEST(PortsPageModel, NoSelectionGivesDisabledNotSelectedLists) {
    for (const PortList& list : ComputePortLists(PortsPageInput{}, kStrings)) {
        EXPECT_EQ(Texts(list), std::vector<std::string>{"not selected"});
        EXPECT_EQ(list.selected, 0);
        EXPECT_FALSE(list.enabled);
    }
}

TEST(PortsPageModel, LinkWithoutChannelListIsNotSupportedEverywhere) {
    PortsPageInput input;
    input.selected = true;
    for (const PortList& list : ComputePortLists(input, kStrings)) {
        ASSERT_EQ(list.entries.size(), 1u);
        EXPECT_EQ(list.entries[0].text, "Not supported");
        EXPECT_EQ(list.entries[0].portNumber, 0);
        EXPECT_FALSE(list.enabled);
    }
}

TEST(PortsPageModel, ListsOfferFreeNumbersAndTheChannelsOwnPort) {
    PortsPageInput input = LinkWithAllChannels();
    input.used[2] = input.used[4] = input.used[9] = 1;
    input.portNumbers = {4, 7, 0, 0};  // CAT's port exists; PTT/CW's number 7 does not
    const auto lists = ComputePortLists(input, kStrings);

    const PortList& cat = lists[kCat];
    EXPECT_TRUE(cat.enabled);
    ASSERT_EQ(cat.entries.size(), 1u + 255 - 3 + 1);
    const std::vector<std::string> catTexts = Texts(cat);
    EXPECT_EQ(std::vector<std::string>(catTexts.begin(), catTexts.begin() + 5),
              (std::vector<std::string>{"not selected", "COM1", "COM3", "COM4 - current selection",
                                        "COM5"}));
    EXPECT_EQ(cat.selected, 3);
    EXPECT_EQ(cat.entries[3].portNumber, 4);
    EXPECT_EQ(cat.entries.back().text, "COM255");

    const PortList& ptt = lists[kPttCw];
    EXPECT_EQ(ptt.selected, 0);  // its number is free on the machine: offered plainly
    EXPECT_EQ(ptt.entries.size(), 1u + 255 - 3);
    EXPECT_EQ(ptt.entries[5].text, "COM7");

    // Numbers taken by other ports never appear, not even in another channel's list.
    for (const PortListEntry& entry : lists[kFsk].entries)
        EXPECT_TRUE(entry.portNumber != 2 && entry.portNumber != 4 && entry.portNumber != 9);
}

TEST(PortsPageModel, AbsentChannelAmongPresentOnes) {
    PortsPageInput input = LinkWithAllChannels();
    input.present[kWinKey] = false;
    const auto lists = ComputePortLists(input, kStrings);
    EXPECT_TRUE(lists[kFsk].enabled);
    EXPECT_EQ(Texts(lists[kWinKey]), std::vector<std::string>{"Not supported"});
    EXPECT_FALSE(lists[kWinKey].enabled);
}

}  // namespace
}  // namespace qx
