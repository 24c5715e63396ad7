#include "ui/status_page_model.h"

#include <gtest/gtest.h>

#include <map>

#include "vsp/IVSPortAx.h"

namespace qx {
namespace {

const StatusStrings kStrings{"Not selected",
                             "is open by",
                             "Parameters",
                             "- cannot create this port!",
                             "- is not open by any program",
                             "baud",
                             "bytes dropped",
                             "%s: waiting for interface %s",
                             "Keying unguarded"};

// A link with every channel present and no port assigned.
StatusPageInput AllPresent() {
    StatusPageInput input;
    input.selected = true;
    for (ChannelSnapshot& channel : input.channels) channel.present = true;
    return input;
}

void Bind(ChannelSnapshot& channel, int portNumber) {
    channel.portNumber = portNumber;
    channel.hasPort = true;
    channel.hasSink = true;
}

PortReading Held(const std::string& path, int baud, int dataBits, int parity, int stopBits) {
    return PortReading{true, path, baud, dataBits, parity, stopBits};
}

TEST(StatusPageModel, NoSelectionShowsNotSelectedAndHidesEveryControl) {
    const StatusPageView view = ComputeStatusPage(StatusPageInput{}, kStrings);
    for (int c = 0; c < kChannelCount; ++c) {
        EXPECT_EQ(view.portNames[c], "Not selected");
        EXPECT_EQ(view.holderLines[c], "");
        EXPECT_EQ(view.addPortVisible[c], false);
        EXPECT_EQ(view.holderVisible[c], false);
    }
    EXPECT_EQ(view.parameterLines[0], "");
    EXPECT_EQ(view.parameterVisible[0], false);
    EXPECT_EQ(view.parameterVisible[1], false);
    EXPECT_EQ(view.testControlsVisible, false);
}

// Bytes a program lost follow the parameters (the holder where there are none), only when any.
TEST(StatusPageModel, DroppedBytesFollowTheRowsLastText) {
    StatusPageInput input = AllPresent();
    for (Channel channel : {kCat, kFsk, kWinKey}) Bind(input.channels[channel], channel + 1);
    input.channels[kCat].reading = Held("/usr/bin/rigctld", 9600, 8, kParityNone, kStopBitsOne);
    input.channels[kCat].droppedBytes = 1234;
    input.channels[kFsk].droppedBytes = 62;  // its program has gone since
    input.channels[kWinKey].reading = Held("/usr/bin/keyer", 1200, 8, kParityNone, kStopBitsTwo);
    input.channels[kWinKey].droppedBytes = 5;
    StatusPageView view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.parameterLines[0], "Parameters: 9600 baud, 8, N, 1, 1234 bytes dropped");
    EXPECT_EQ(view.parameterLines[1], "62 bytes dropped");
    EXPECT_EQ(view.holderLines[kWinKey], "is open by keyer, 5 bytes dropped");

    input.channels[kCat].droppedBytes = 0;
    view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.parameterLines[0], "Parameters: 9600 baud, 8, N, 1");
}

TEST(StatusPageModel, UnassignedPresentChannelOffersAddPort) {
    const StatusPageView view = ComputeStatusPage(AllPresent(), kStrings);
    EXPECT_EQ(view.portNames[kCat], "Not selected");
    EXPECT_EQ(view.addPortVisible[kCat], true);
    EXPECT_EQ(view.holderVisible[kCat], false);
    EXPECT_EQ(view.parameterVisible[0], false);
    EXPECT_EQ(view.testControlsVisible, true);
}

TEST(StatusPageModel, AssignedPortsWithoutHolder) {
    StatusPageInput input = AllPresent();
    input.channels[kFsk].portNumber = 5;  // creation failed: no instance
    Bind(input.channels[kCat], 7);        // bound, nobody holds it
    input.channels[kWinKey].portNumber = 9;
    input.channels[kWinKey].hasPort = true;  // instance without a sink
    const StatusPageView view = ComputeStatusPage(input, kStrings);

    EXPECT_EQ(view.portNames[kFsk], "COM5");
    EXPECT_EQ(view.holderLines[kFsk], "- cannot create this port!");
    EXPECT_EQ(view.holderLines[kWinKey], "- cannot create this port!");
    EXPECT_EQ(view.portNames[kCat], "COM7");
    EXPECT_EQ(view.holderLines[kCat], "- is not open by any program");
    EXPECT_EQ(view.parameterLines[0], "");
    EXPECT_EQ(view.parameterVisible[0], true);
    EXPECT_EQ(view.addPortVisible[kCat], false);
    EXPECT_EQ(view.holderVisible[kCat], true);
}

// A value from the settings file that can give no port still names itself in its row.
TEST(StatusPageModel, UnusableSettingsShowAsPortsThatCannotBeCreated) {
    StatusPageInput input = AllPresent();
    input.channels[kCat].portNumber = 300;
    input.channels[kPttCw].portNumber = -2;
    input.channels[kFsk].unusableSetting = "abc";
    const StatusPageView view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.portNames[kCat], "COM300");
    EXPECT_EQ(view.portNames[kPttCw], "COM-2");
    EXPECT_EQ(view.portNames[kFsk], "abc");
    for (Channel channel : {kCat, kPttCw, kFsk}) {
        EXPECT_EQ(view.holderLines[channel], "- cannot create this port!") << channel;
        EXPECT_EQ(view.holderVisible[channel], true) << channel;
        EXPECT_EQ(view.addPortVisible[channel], false) << channel;
    }
}

TEST(StatusPageModel, HeldPortsShowHolderFileNameAndParameters) {
    StatusPageInput input = AllPresent();
    Bind(input.channels[kCat], 3);
    input.channels[kCat].reading = Held("/usr/bin/rigctld", 9600, 8, kParityNone, kStopBitsOne);
    Bind(input.channels[kFsk], 4);
    input.channels[kFsk].reading =
        Held("/opt/rtty/fldigi", 45, 5, kParityNone, kStopBitsOnePointFive);
    Bind(input.channels[kPttCw], 6);
    input.channels[kPttCw].reading = Held("/usr/bin/wsjtx", 0, 0, 0, 0);
    const StatusPageView view = ComputeStatusPage(input, kStrings);

    EXPECT_EQ(view.holderLines[kCat], "is open by rigctld");
    EXPECT_EQ(view.parameterLines[0], "Parameters: 9600 baud, 8, N, 1");
    EXPECT_EQ(view.holderLines[kFsk], "is open by fldigi");
    EXPECT_EQ(view.parameterLines[1], "Parameters: 45 baud, 5, N, 1.5");
    EXPECT_EQ(view.holderLines[kPttCw], "is open by wsjtx");
}

TEST(StatusPageModel, HolderWinsOverMissingSinkAndEmptyPathCountsAsNobody) {
    StatusPageInput input = AllPresent();
    input.channels[kCat].portNumber = 3;
    input.channels[kCat].hasPort = true;  // no sink
    input.channels[kCat].reading = Held("/usr/bin/rigctld", 4800, 8, kParityEven, kStopBitsTwo);
    Bind(input.channels[kFsk], 4);
    input.channels[kFsk].reading = Held("", 45, 5, kParityNone, kStopBitsOne);
    const StatusPageView view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.holderLines[kCat], "is open by rigctld");
    EXPECT_EQ(view.holderLines[kFsk], "- is not open by any program");
    EXPECT_EQ(view.parameterLines[1], "Parameters: 45 baud, 5, N, 1");
}

TEST(StatusPageModel, ParityAndStopBitCodes) {
    const std::map<int, std::string> parity{{0, "N"}, {1, "O"}, {2, "E"},  {3, "M"},
                                            {4, "S"}, {5, "N"}, {-1, "N"}, {99, "N"}};
    for (const auto& [code, text] : parity)
        EXPECT_EQ(ParameterLine(Held("p", 1200, 7, code, 0), kStrings),
                  "Parameters: 1200 baud, 7, " + text + ", 1");
    const std::map<int, std::string> stopBits{{0, "1"}, {1, "1.5"}, {2, "2"}, {3, "2"}, {-4, "2"}};
    for (const auto& [code, text] : stopBits)
        EXPECT_EQ(ParameterLine(Held("p", 1200, 7, 0, code), kStrings),
                  "Parameters: 1200 baud, 7, N, " + text);
}

TEST(StatusPageModel, AbsentChannelsSayNotSupportedAndKeepTestButtons) {
    StatusPageInput input = AllPresent();
    input.channels[kPttCw].present = false;
    input.channels[kWinKey].present = false;
    input.channels[kWinKey].portNumber = 8;
    const StatusPageView view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.portNames[kPttCw], "Not supported");
    EXPECT_EQ(view.addPortVisible[kPttCw], false);
    EXPECT_EQ(view.portNames[kWinKey], "Not supported");
    EXPECT_EQ(view.holderVisible[kWinKey], true);
    EXPECT_FALSE(view.testControlsVisible.has_value());
}

TEST(StatusPageModel, FileNameAndFontHeight) {
    EXPECT_EQ(FileNameOf("/usr/local/bin/radio.exe"), "radio.exe");
    EXPECT_EQ(FileNameOf("radio"), "radio");
    EXPECT_EQ(FileNameOf("/dir/"), "");
    static_assert(EnlargedFontHeight(-8) == -12);
    static_assert(EnlargedFontHeight(-11) == -16);
    static_assert(EnlargedFontHeight(11) == 16);
}

// A port whose reads can be made to fail one by one.
class ScriptedPort final : public IVSPortAx {
public:
    std::optional<bool> open = true;
    std::optional<std::string> path = std::string("/usr/bin/rigctld");
    std::optional<int> baud = 9600, dataBits = 8, parity = 0, stopBits = 0;

    Expected<void> CreatePort(const std::string&) override { return {}; }
    void DeletePort() override {}
    bool WriteToPort(const uint8_t*, int) override { return true; }
    std::optional<int> ReadFromPort(uint8_t*, int) override { return 0; }
    std::optional<bool> IsOpen() override { return open; }
    std::optional<int> BytesWaiting() override { return 0; }
    void DeleteAllPorts() override {}
    Expected<void> ReusePort(const std::string&) override { return {}; }
    bool SetInputLine(bool) override { return true; }
    void SetCreationFlag(bool) override {}
    std::optional<int> GetParity() override { return parity; }
    std::optional<int> GetStopBits() override { return stopBits; }
    std::optional<int> GetDataBits() override { return dataBits; }
    std::optional<int> GetBaudRate() override { return baud; }
    std::optional<std::string> GetOpenerPath() override { return path; }
    std::optional<bool> GetRts() override { return false; }
    std::optional<bool> GetDtr() override { return false; }
    bool Advise(std::shared_ptr<IVSPortAxEvents>, uint32_t&) override { return true; }
    void Unadvise(uint32_t) override {}
};

TEST(StatusPageModel, FailingReadShowsThatPortAsNotOpen) {
    ScriptedPort port;
    PortReading reading = ReadPortStatus(port, true);
    EXPECT_TRUE(reading.open);
    EXPECT_EQ(reading.openerPath, "/usr/bin/rigctld");
    EXPECT_EQ(reading.baudRate, 9600);

    // PTT/CW and WinKey read no parameters, so a failing parameter read does not matter there.
    port.stopBits.reset();
    EXPECT_TRUE(ReadPortStatus(port, false).open);
    EXPECT_FALSE(ReadPortStatus(port, true).open);
    port.stopBits = 0;
    port.path.reset();
    EXPECT_FALSE(ReadPortStatus(port, false).open);
    port.path = "x";
    port.open.reset();
    EXPECT_FALSE(ReadPortStatus(port, true).open);

    // The other channels are shown as usual.
    StatusPageInput input = AllPresent();
    Bind(input.channels[kCat], 3);
    input.channels[kCat].reading = ReadPortStatus(port, true);
    Bind(input.channels[kFsk], 4);
    input.channels[kFsk].reading = Held("/bin/fsk", 45, 5, 0, 1);
    const StatusPageView view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.holderLines[kCat], "- is not open by any program");
    EXPECT_EQ(view.parameterLines[0], "");
    EXPECT_EQ(view.holderLines[kFsk], "is open by fsk");
}

// Only a port that exists has a path to show: one that failed, or a setting that is no number,
// has none.
TEST(StatusPageModel, PortPathOnlyForPortsThatExist) {
    ChannelSnapshot bound;
    Bind(bound, 5);
    ChannelSnapshot noSink = bound;
    noSink.hasSink = false;
    ChannelSnapshot unusable = bound;
    unusable.unusableSetting = "COM5x";
    ChannelSnapshot failed;
    failed.portNumber = 5;
    for (const auto& [in, expected] :
         std::vector<std::pair<ChannelSnapshot, std::string>>{{bound, "/run/p/COM5"},
                                                              {noSink, ""},
                                                              {unusable, ""},
                                                              {failed, ""},
                                                              {ChannelSnapshot{}, ""}})
        EXPECT_EQ(PortPathText(in, "/run/p"), expected);
}

// While the keying-port service is awaited, rows without their port say so instead of a
// failure; without keying lines, the PTT/CW row says why, whatever else it shows.
TEST(StatusPageModel, KeyingPortsWaitingOrUnavailable) {
    StatusPageInput input = AllPresent();
    Bind(input.channels[kCat], 5);
    input.channels[kPttCw].portNumber = 6;  // not made (yet)
    input.channels[kFsk].portNumber = 7;

    input.keying = KeyingPorts::State::kWaiting;
    input.keyingText = "Waiting";
    StatusPageView view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.holderLines[kCat], "- is not open by any program");
    EXPECT_EQ(view.holderLines[kPttCw], "Waiting");
    EXPECT_EQ(view.holderLines[kFsk], "Waiting");

    input.keying = KeyingPorts::State::kUnavailable;
    input.keyingText = "No RTS/DTR: why";
    Bind(input.channels[kPttCw], 6);
    view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.holderLines[kPttCw], "- is not open by any program - No RTS/DTR: why");
    EXPECT_EQ(view.holderLines[kCat], "- is not open by any program");
    EXPECT_EQ(view.holderLines[kFsk], "- cannot create this port!");
    input.channels[kPttCw].reading = Held("/usr/bin/fldigi", 9600, 8, 0, 0);
    view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.holderLines[kPttCw], "is open by fldigi - No RTS/DTR: why");
    input.keyingUnguarded = true;
    view = ComputeStatusPage(input, kStrings);
    EXPECT_EQ(view.holderLines[kPttCw], "is open by fldigi - No RTS/DTR: why - Keying unguarded");
    EXPECT_EQ(view.holderLines[kCat], "- is not open by any program");
}

// Ports kept while their interface is away are named whatever is selected, a line per
// interface, with what their programs lost meanwhile.
TEST(StatusPageModel, PortsWaitingForTheirInterface) {
    const struct {
        std::vector<WaitingPortInput> waiting;
        const char* text;
    } cases[] = {
        {{}, ""},
        {{{"QX4SIM0001", 5, 0}}, "COM5: waiting for interface QX4SIM0001"},
        {{{"QX4SIM0001", 5, 12}, {"QX4SIM0001", 6, 3}, {"QX4SIM0002", 9, 0}},
         "COM5, COM6: waiting for interface QX4SIM0001, 15 bytes dropped\n"
         "COM9: waiting for interface QX4SIM0002"},
    };
    for (const auto& c : cases) {
        StatusPageInput input;  // nothing selected: the interface is away
        input.waiting = c.waiting;
        EXPECT_EQ(ComputeStatusPage(input, kStrings).waitingText, c.text);
        input = AllPresent();
        input.waiting = c.waiting;
        EXPECT_EQ(ComputeStatusPage(input, kStrings).waitingText, c.text);
    }
}

}  // namespace
}  // namespace qx
