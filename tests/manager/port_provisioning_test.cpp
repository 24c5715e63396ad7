// Port provisioning over the test double of the component: the order of the calls and reports,
// and what a failed creation leaves behind.
#include "manager/port_provisioning.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "platform/trace.h"
#include "sim/sim_hid_backend.h"
#include "tests/support/fake_port.h"
#include "tests/support/observer_log.h"

namespace qx {
namespace {

using test::FakePortClass;
using test::ObserverLog;
using Ops = std::vector<std::pair<int, int>>;

class PortProvisioningTest : public ::testing::Test {
protected:
    PortProvisioningTest() : provisioning_(portClass_, removePorts_), link_(backend_) {
        link_.observer = &observer_;
    }
    void Assign(std::array<int, kChannelCount> numbers) {
        for (Channel c : kAllChannels) link_.ports[c].portNumber = numbers[c];
    }
    std::string NameOf(int made) const { return portClass_.made[made]->name; }

    SimHidBackend backend_;
    FakePortClass portClass_;
    int removePorts_ = 1;
    PortProvisioning provisioning_;
    CHVInterface link_;
    ObserverLog observer_;
};

TEST_F(PortProvisioningTest, CreatesNumberedChannelsInOrderAndReportsAroundEach) {
    Assign({7, 0, 9, 11});
    provisioning_.CreatePorts(link_);
    EXPECT_EQ(observer_.portOperations, (Ops{{1, 7}, {0, 7}, {1, 9}, {0, 9}, {1, 11}, {0, 11}}));
    ASSERT_EQ(portClass_.made.size(), 3u);
    EXPECT_EQ(NameOf(0), "COM7");
    EXPECT_EQ(portClass_.made[0]->creationFlag, std::optional<bool>(false));
    EXPECT_TRUE(link_.ports[kCat].instance && link_.ports[kCat].sink);
    EXPECT_FALSE(link_.ports[kPttCw].instance);
    EXPECT_EQ(link_.ports[kFsk].instance->GetDataBits(), 8) << "the fake sees the program's own";
}

TEST_F(PortProvisioningTest, ExistingNameIsReusedAndDoubleFailureLeavesTheNumberUnbound) {
    Assign({5, 6, 0, 0});
    portClass_.createFails = true;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(provisioning_.CreateChannelPort(link_, kCat));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a name taken over is no failure";
    EXPECT_EQ(portClass_.made[0]->createCalls, 1);
    EXPECT_EQ(portClass_.made[0]->reuseCalls, 1);
    EXPECT_EQ(NameOf(0), "COM5");

    portClass_.reuseFails = true;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(provisioning_.CreateChannelPort(link_, kPttCw));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "COM6: reusing COM6: Permission denied\n")
        << "the last attempt's cause is said, once";
    EXPECT_EQ(portClass_.made[1]->deleteCalls, 1);
    EXPECT_EQ(portClass_.made[1]->SinkCount(), 0u);
    EXPECT_FALSE(link_.ports[kPttCw].instance);
    EXPECT_EQ(link_.ports[kPttCw].portNumber, 6);
    EXPECT_EQ(observer_.portOperations, (Ops{{1, 5}, {0, 5}, {1, 6}, {0, 6}}))
        << "the progress is cleared whether the creation worked or not";
}

TEST_F(PortProvisioningTest, FailedCreationKeepsNumberAndReleasesEverything) {
    FakePortClass failing;
    PortProvisioning provisioning(failing, removePorts_);
    link_.ports[kCat].portNumber = 8;
    failing.failCreateInstance = true;
    EXPECT_FALSE(provisioning.CreateChannelPort(link_, kCat));
    EXPECT_TRUE(observer_.portOperations.empty()) << "no instance: nothing to report";
    EXPECT_EQ(link_.ports[kCat].portNumber, 8);
}

// Settings the user wrote by hand: a number twice (two channels, or two interfaces), out of
// range, or not a number. Each fails like any failed creation, with its number, and a number
// set free by a release can be had again.
TEST_F(PortProvisioningTest, ConflictingOrUnusableNumbersFailLikeAnyCreation) {
    Assign({7, -2, 7, 300});
    link_.ports[kPttCw].unusableSetting = "abc";
    CHVInterface other(backend_);
    other.observer = &observer_;
    other.ports[kCat].portNumber = 7;

    provisioning_.CreatePorts(link_);
    EXPECT_FALSE(provisioning_.CreateChannelPort(other, kCat));
    ASSERT_EQ(portClass_.made.size(), 1u) << "only the first COM7 is made";
    EXPECT_TRUE(link_.ports[kCat].instance);
    for (Channel channel : {kPttCw, kFsk, kWinKey})
        EXPECT_FALSE(link_.ports[channel].instance) << channel;
    EXPECT_EQ(observer_.portOperations,
              (Ops{{1, 7}, {0, 7}, {1, 7}, {0, 7}, {1, 300}, {0, 300}, {1, 7}, {0, 7}}))
        << "a value that is not a number has no number to show; its Status row names it";
    EXPECT_EQ(link_.ports[kFsk].portNumber, 7);
    EXPECT_EQ(link_.ports[kWinKey].portNumber, 300);

    provisioning_.ReleaseChannelPort(link_, kCat);
    EXPECT_TRUE(provisioning_.CreateChannelPort(other, kCat));
}

// A number below 1 (a hand-edited "-3") names no port: no balloon announces a "COM-3" that is
// then taken back, and the setting is kept as written.
TEST_F(PortProvisioningTest, NumbersBelowOneAreNotAnnounced) {
    for (const int number : {-3, -1, 0}) {
        link_.ports[kCat].portNumber = number;
        EXPECT_FALSE(provisioning_.CreateChannelPort(link_, kCat)) << number;
        EXPECT_TRUE(observer_.portOperations.empty()) << number;
        EXPECT_EQ(link_.ports[kCat].portNumber, number);
    }
    EXPECT_TRUE(portClass_.made.empty());
}

TEST_F(PortProvisioningTest, ReleaseDeletesOnlyWhenSetAndDetachesTheSink) {
    Assign({3, 4, 0, 0});
    provisioning_.CreatePorts(link_);
    auto cat = portClass_.made[0];
    auto ptt = portClass_.made[1];
    observer_.portOperations.clear();

    EXPECT_TRUE(provisioning_.ReleaseChannelPort(link_, kCat));
    EXPECT_EQ(cat->deleteCalls, 1);
    EXPECT_EQ(cat->SinkCount(), 0u);
    removePorts_ = 0;
    EXPECT_TRUE(provisioning_.ReleaseChannelPort(link_, kPttCw));
    EXPECT_EQ(ptt->deleteCalls, 0) << "kept on the machine";
    EXPECT_FALSE(provisioning_.ReleaseChannelPort(link_, kPttCw)) << "nothing bound any more";
    EXPECT_EQ(observer_.portOperations, (Ops{{2, 3}, {0, 3}, {2, 4}, {0, 4}}));
    EXPECT_EQ(link_.ports[kCat].portNumber, 3) << "the number survives the release";
}

TEST_F(PortProvisioningTest, UpdateTouchesOnlyChangedChannelsInChannelOrder) {
    Assign({3, 4, 5, 6});
    provisioning_.CreatePorts(link_);
    observer_.portOperations.clear();
    provisioning_.UpdatePorts(link_, {13, 4, 15, 6});
    EXPECT_EQ(observer_.portOperations,
              (Ops{{2, 3}, {0, 3}, {1, 13}, {0, 13}, {2, 5}, {0, 5}, {1, 15}, {0, 15}}));
    EXPECT_EQ(link_.ports[kCat].portNumber, 13);
    observer_.portOperations.clear();
    provisioning_.UpdatePorts(link_, {13, 0, 15, 6});  // "not selected" releases the port
    EXPECT_EQ(observer_.portOperations, (Ops{{2, 4}, {0, 4}}));
    EXPECT_EQ(link_.ports[kPttCw].portNumber, 0);
    EXPECT_FALSE(link_.ports[kPttCw].instance);
}

// Opens and closes are traced from the port's own event, each with the holder of that moment, so
// a quick open and close both show; once the port is released its events trace nothing.
TEST_F(PortProvisioningTest, OpensAndClosesAreTracedWhenThePortReportsThem) {
    link_.key = "QX4SIM0001";
    Assign({7, 0, 0, 0});
    std::FILE* out = std::tmpfile();
    {
        TraceSession session({.out = out});
        provisioning_.CreatePorts(link_);
        test::FakePortState& port = *portClass_.made.at(0);
        port.openerPath = "/usr/bin/flrig";
        port.SetOpen(true);
        port.Fire(kEventOpened);
        port.SetOpen(false);
        port.Fire(kEventClosed);
        const std::shared_ptr<IVSPortAxEvents> sink = port.sinks.begin()->second;
        provisioning_.ReleasePorts(link_);
        sink->Invoke(kEventOpened);
        session.Flush();
    }
    std::fflush(out);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    const std::size_t open = text.find("QX4SIM0001 CAT    open            COM7 by /usr/bin/flrig");
    const std::size_t close = text.find("QX4SIM0001 CAT    close           COM7");
    ASSERT_NE(open, std::string::npos) << text;
    ASSERT_NE(close, std::string::npos) << text;
    EXPECT_LT(open, close);
    EXPECT_EQ(text.find("CAT    open", close), std::string::npos) << text;
}

TEST_F(PortProvisioningTest, PortsThatWaitedForTheKeyingServiceComeWhenItAnswers) {
    std::vector<std::unique_ptr<CHVInterface>> links;
    links.push_back(std::make_unique<CHVInterface>(backend_));
    CHVInterface& link = *links.back();
    link.ports[kPttCw].portNumber = 4;
    EXPECT_FALSE(provisioning_.CreatePortsWhenKeyingServiceAnswers(links));
    EXPECT_FALSE(link.ports[kPttCw].instance);
    portClass_.answersAgain = true;
    EXPECT_TRUE(provisioning_.CreatePortsWhenKeyingServiceAnswers(links));
    EXPECT_TRUE(link.ports[kPttCw].instance && link.ports[kPttCw].sink);
    EXPECT_EQ(portClass_.made.back()->name, "COM4");
    provisioning_.ReleasePorts(link);
}

// With the setting off, the ports of a link that went with its device stay on the machine: kept
// by key and channel, still attached, their numbers held, until a link of the same key takes the
// same instances up again with its own sinks. (What a kept port does meanwhile: the manager's
// tests.)
TEST_F(PortProvisioningTest, PortsOfARemovedLinkAreKeptUntilALinkOfTheirKeyTakesThemUp) {
    removePorts_ = 0;
    link_.key = "QX4SIM0001";
    Assign({5, 6, 0, 0});
    provisioning_.CreatePorts(link_);
    auto cat = portClass_.made[0];
    link_.ports[kCat].instance->SetInputLine(true);
    observer_.portOperations.clear();

    provisioning_.ReleasePortsOfRemovedLink(link_);
    ASSERT_EQ(provisioning_.KeptPorts().size(), 2u);
    EXPECT_EQ(cat->deleteCalls, 0);
    EXPECT_EQ(cat->SinkCount(), 1u) << "changes of a kept port are still heard";
    EXPECT_FALSE(cat->inputLine) << "no device drives it meanwhile";
    CHVInterface other(backend_);  // another interface takes neither the ports nor their numbers
    other.key = "QX4SIM0002";
    other.ports[kCat].portNumber = 5;
    EXPECT_FALSE(provisioning_.CreateChannelPort(other, kCat));

    CHVInterface again(backend_);
    again.key = "QX4SIM0001";
    again.observer = &observer_;
    again.ports[kCat].portNumber = 5;
    again.ports[kPttCw].portNumber = 6;
    provisioning_.CreatePorts(again);
    EXPECT_EQ(observer_.portOperations,
              (Ops{{2, 5}, {0, 5}, {2, 6}, {0, 6}, {1, 5}, {0, 5}, {1, 6}, {0, 6}}));
    EXPECT_EQ(portClass_.made.size(), 2u) << "no new port";
    EXPECT_TRUE(provisioning_.KeptPorts().empty());
    ASSERT_TRUE(again.ports[kCat].instance && again.ports[kCat].sink);
    EXPECT_EQ(dynamic_cast<test::FakePort&>(*again.ports[kCat].instance).SharedState(), cat);
    EXPECT_EQ(cat->SinkCount(), 1u) << "the old sink went, the new one came";
    provisioning_.ReleasePorts(again);
}

// What a program writes to a kept port is taken on the port's own thread as it is written, so a
// close that follows at once throws nothing away uncounted. A take-up whose sink cannot be
// attached leaves the port kept (not deleted, its number held) and the next pass takes it up.
// With "Ignore serial numbers" an interface returns under another key (its position): it takes
// over the kept ports of a key no link has, with their numbers, but not those of a live link.
TEST_F(PortProvisioningTest, KeptPortsAreCountedAndTakenUpWhateverGetsInTheWay) {
    const struct {
        const char* what;
        bool adviseFails;
        const char* returningKey;
        bool otherLinkHasTheKey;
        bool takenUpAtOnce;
        bool takenUpAtThePass;
    } cases[] = {
        {"same key", false, "QX4SIM0001", false, true, true},
        {"take-up fails once", true, "QX4SIM0001", false, false, true},
        {"another key, the old one away", false, "2", false, true, true},
        {"another key, the old one still linked", false, "2", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::FakePortClass portClass;
        int removePorts = 0;
        PortProvisioning provisioning(portClass, removePorts);
        CHVInterface link(backend_);
        link.key = "QX4SIM0001";
        link.ports[kCat].portNumber = 5;
        provisioning.CreatePorts(link);
        provisioning.ReleasePortsOfRemovedLink(link);
        const auto port = portClass.made.at(0);
        port->ProgramWrites("FA;");
        port->ProgramWrites("FB;");  // into a port the first write's event emptied
        EXPECT_EQ(port->fromProgram, "") << "taken as written";

        std::vector<std::unique_ptr<CHVInterface>> links;
        if (c.otherLinkHasTheKey) {
            links.push_back(std::make_unique<CHVInterface>(backend_));
            links.back()->key = "QX4SIM0001";
        }
        auto returning = std::make_unique<CHVInterface>(backend_);
        returning->key = c.returningKey;
        returning->ports[kCat].portNumber = 9;
        if (std::string(c.returningKey) == "QX4SIM0001") returning->ports[kCat].portNumber = 5;
        const auto holdsPort = [&](CHVInterface& l) {
            auto* fake = dynamic_cast<test::FakePort*>(l.ports[kCat].instance.get());
            return fake && fake->SharedState() == port;
        };
        port->adviseFails = c.adviseFails;
        provisioning.AdoptKeptPorts(*returning, links);
        provisioning.CreatePorts(*returning);
        EXPECT_EQ(holdsPort(*returning), c.takenUpAtOnce);
        EXPECT_EQ(port->deleteCalls, 0);
        port->adviseFails = false;
        links.push_back(std::move(returning));
        provisioning.ServeKeptPorts(links);
        CHVInterface& back = *links.back();
        EXPECT_EQ(holdsPort(back), c.takenUpAtThePass);
        if (c.takenUpAtThePass) {
            EXPECT_EQ(back.ports[kCat].portNumber, 5);
            EXPECT_EQ(back.droppedBytes[kCat].load(), 6u);
            EXPECT_TRUE(provisioning.KeptPorts().empty());
            port->ProgramWrites("FC;");
            EXPECT_EQ(port->fromProgram, "FC;") << "the link's to take now";
        } else {
            ASSERT_EQ(provisioning.KeptPorts().size(), 1u);
            EXPECT_EQ(provisioning.KeptPorts()[0].droppedBytes, 6u);
        }
        for (const auto& l : links) provisioning.ReleasePorts(*l);
        provisioning.ReleaseKeptPorts();
    }
}

// A kept port whose interface never comes back goes as bound ports go.
TEST_F(PortProvisioningTest, KeptPortsAreLetGoAtExitByRemovingAllOrWhenTheirNumberChanged) {
    const struct {
        const char* what;
        std::function<void(PortProvisioning&, CHVInterface& returning)> end;
        int removePortsAtEnd;
        int deleteCalls;
    } cases[] = {
        {"exit", [](PortProvisioning& p, CHVInterface&) { p.ReleaseKeptPorts(); }, 0, 0},
        {"exit after the setting was turned on",
         [](PortProvisioning& p, CHVInterface&) { p.ReleaseKeptPorts(); }, 1, 1},
        {"remove all ports", [](PortProvisioning& p, CHVInterface&) { p.RemoveAllSystemPorts(); },
         0, 1},
        {"the interface returns with another number",
         [](PortProvisioning& p, CHVInterface& returning) {
             returning.ports[kCat].portNumber = 8;
             p.CreatePorts(returning);
         },
         0, 0},
    };
    for (const auto& c : cases) {
        test::FakePortClass portClass;
        int removePorts = 0;
        PortProvisioning provisioning(portClass, removePorts);
        CHVInterface link(backend_);
        link.key = "QX4SIM0001";
        link.ports[kCat].portNumber = 5;
        provisioning.CreatePorts(link);
        provisioning.ReleasePortsOfRemovedLink(link);
        ASSERT_EQ(provisioning.KeptPorts().size(), 1u) << c.what;
        const auto kept = portClass.made[0];
        removePorts = c.removePortsAtEnd;
        c.end(provisioning, link);
        EXPECT_TRUE(provisioning.KeptPorts().empty()) << c.what;
        EXPECT_EQ(kept->deleteCalls, c.deleteCalls) << c.what;
        EXPECT_EQ(kept->SinkCount(), 0u) << c.what;
        // Its number is free again.
        CHVInterface other(backend_);
        other.ports[kFsk].portNumber = 5;
        EXPECT_TRUE(provisioning.CreateChannelPort(other, kFsk)) << c.what;
        provisioning.ReleasePorts(other);
        provisioning.ReleasePorts(link);
    }
}

TEST_F(PortProvisioningTest, EveryBoundPortIsKeptServed) {
    Assign({3, 0, 5, 0});
    provisioning_.CreatePorts(link_);
    EXPECT_FALSE(provisioning_.KeepServed(link_));
    portClass_.made[1]->servedAgain = true;
    EXPECT_TRUE(provisioning_.KeepServed(link_));
    EXPECT_EQ(portClass_.made[0]->keepServedCalls, 2);
    EXPECT_EQ(portClass_.made[1]->keepServedCalls, 2);
}

TEST_F(PortProvisioningTest, RemoveAllSystemPortsUsesATemporaryInstance) {
    provisioning_.RemoveAllSystemPorts();
    ASSERT_EQ(portClass_.made.size(), 1u);
    EXPECT_EQ(portClass_.made[0]->deleteAllCalls, 1);
    EXPECT_EQ(portClass_.made[0]->deleteCalls, 1);
}

}  // namespace
}  // namespace qx
