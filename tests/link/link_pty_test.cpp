// The link with real pseudo-terminal ports: what a radio program sets and writes on its side of
// the port reaches the simulated device, and the transceiver's answers come back.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/ports_directory.h"
#include "tests/support/link_harness.h"
#include "tests/support/poll_until.h"
#include "tests/support/radio_program.h"
#include "tests/support/temp_home.h"
#include "vsp/pty_port.h"

namespace qx {
namespace {

using test::ProgramParity;
using test::RadioProgram;

class LinkPtyTest : public ::testing::Test {
protected:
    LinkPtyTest() {
        portsDir_ = home_.Root() + "/ports";
        ::mkdir(portsDir_.c_str(), 0700);
        auto made = MakePtyPortClass(portsDir_);
        EXPECT_TRUE(made) << made.error().message;
        if (made) portClass_ = std::move(*made);
    }
    // Gives the channel a real port COM<number> and opens it as a radio program.
    std::unique_ptr<RadioProgram> Attach(Channel channel, int number) {
        auto port = portClass_->CreateInstance();
        port->SetAssumedDataBits(channel == kFsk ? 5 : 8);
        EXPECT_TRUE(port->CreatePort(PortName(number)));
        {
            std::lock_guard lock(h_.link.portGuard);
            h_.link.ports[channel].instance = std::move(port);
        }
        auto program = std::make_unique<RadioProgram>(PortPath(portsDir_, number));
        EXPECT_TRUE(program->Valid());
        return program;
    }
    std::vector<std::string> CommandsAfterStartup() const {
        std::vector<std::string> texts;
        const auto all = h_.Commands();
        for (std::size_t i = 7; i < all.size(); ++i) texts.push_back(all[i].second);
        return texts;
    }
    // Ticks until the port reports the program open (the port's own watch sees it); false when
    // it never does.
    bool TickUntilOpen(Channel channel) {
        return test::PollUntil(
            [&] { return h_.link.ports[channel].instance->IsOpen().value_or(false); },
            std::chrono::seconds(5), std::chrono::milliseconds(1), [&] { h_.Tick(); });
    }

    test::TempHome home_;
    std::string portsDir_;
    std::unique_ptr<IVSPortAxClass> portClass_;
    test::LinkHarness h_;
};

TEST_F(LinkPtyTest, CatSettingsOfTheProgramReachTheDevice) {
    auto program = Attach(kCat, 3);
    ASSERT_TRUE(program->Configure(4800, 8, ProgramParity::kOdd, 1));
    ASSERT_TRUE(TickUntilOpen(kCat));
    h_.Tick(1001 - h_.ticks);  // the first poll runs on tick 1001
    EXPECT_EQ(
        CommandsAfterStartup(),
        (std::vector<std::string>{"SET CAT;SPEED=4800", "SET CAT;MODE=8O1", "SET FSK;INVERS=0"}));
    EXPECT_EQ(h_.device->Transceiver().serialSpeed, 4800);
    EXPECT_EQ(h_.device->Transceiver().serialMode, "8O1");
}

TEST_F(LinkPtyTest, FskAt45BaudWithTwoStopBitsSendsOnlyTheMode) {
    h_.Tick(1001);  // the first poll: inversion sent, no ports yet
    auto program = Attach(kFsk, 4);
    ASSERT_TRUE(program->Configure(45, 5, ProgramParity::kNone, 2));
    ASSERT_TRUE(TickUntilOpen(kFsk));
    h_.Tick(1001);
    EXPECT_EQ(CommandsAfterStartup(),
              (std::vector<std::string>{"SET FSK;INVERS=0", "SET FSK;MODE=5N1.5"}));
    EXPECT_EQ(h_.device->FskMode(), "5N1.5");
}

TEST_F(LinkPtyTest, CatBytesReachTheTransceiverAndItsAnswerComesBack) {
    auto program = Attach(kCat, 5);
    ASSERT_TRUE(TickUntilOpen(kCat));
    ASSERT_EQ(program->Write({'F', 'A', '0', '0', '0', '0', '7', '0', '7', '4', '0', '0', '0', ';',
                              'F', 'A', ';'}),
              17u);
    std::vector<uint8_t> answer;
    for (int i = 0; i < 2000 && answer.size() < 14; ++i) {
        h_.Tick();
        const auto got = program->Read(14 - answer.size(), std::chrono::milliseconds(1));
        answer.insert(answer.end(), got.begin(), got.end());
    }
    EXPECT_EQ(std::string(answer.begin(), answer.end()), "FA00007074000;");
}

}  // namespace
}  // namespace qx
