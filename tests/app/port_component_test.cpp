#include "app/port_component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/strings.h"
#include "tests/support/fake_port.h"

namespace qx {
namespace {

// Makers that record which kind was tried and serve only when told to; a kind that does not
// serve says why.
struct RecordingMakers {
    bool helperServes = true;
    bool cuseServes = true;
    bool ptyServes = true;
    std::vector<std::string> tried;

    PortComponentMakers Makers() {
        auto maker = [this](const char* kind, const bool& serves) {
            return [this, kind, &serves](const std::string& directory) -> Expected<PortClass> {
                tried.push_back(std::string(kind) + " " + directory);
                if (!serves) return Error{0, std::string("no ") + kind + " here"};
                auto made = std::make_unique<test::FakePortClass>(directory);
                if (std::string(kind) == "pty")
                    made->keying = {KeyingPorts::State::kUnavailable, "pseudo-terminal"};
                return PortClass(std::move(made));
            };
        };
        return {maker("helper", helperServes), maker("cuse", cuseServes), maker("pty", ptyServes)};
    }
};

TEST(PortComponentTest, UnsetPrefersTheHelperThenOwnCuseThenPseudoTerminals) {
    RecordingMakers makers;
    EXPECT_TRUE(ChoosePortComponent(nullptr, "/ports", makers.Makers()));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"helper /ports"}));

    makers.tried.clear();
    makers.helperServes = false;
    EXPECT_TRUE(ChoosePortComponent("", "/ports", makers.Makers()));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"helper /ports", "cuse /ports"}));

    makers.tried.clear();
    makers.cuseServes = false;
    EXPECT_TRUE(ChoosePortComponent(nullptr, "/ports", makers.Makers()));
    EXPECT_EQ(makers.tried,
              (std::vector<std::string>{"helper /ports", "cuse /ports", "pty /ports"}));

    makers.tried.clear();
    makers.ptyServes = false;
    const auto none = ChoosePortComponent(nullptr, "/ports", makers.Makers());
    ASSERT_FALSE(none);
    const std::string& error = none.error().message;
    EXPECT_NE(error.find("/ports"), std::string::npos) << error;
}

TEST(PortComponentTest, ForcedKindIsTheOnlyOneTriedAndSaysWhyItCannotServe) {
    RecordingMakers makers;
    EXPECT_TRUE(ChoosePortComponent("pty", "/ports", makers.Makers()));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"pty /ports"}));

    // Forced CUSE takes the helper or /dev/cuse, never quietly ports without lines.
    makers.tried.clear();
    makers.helperServes = false;
    EXPECT_TRUE(ChoosePortComponent("cuse", "/ports", makers.Makers()));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"helper /ports", "cuse /ports"}));

    makers.tried.clear();
    makers.cuseServes = false;
    const auto none = ChoosePortComponent("cuse", "/ports", makers.Makers());
    ASSERT_FALSE(none);
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"helper /ports", "cuse /ports"}));
    const std::string& error = none.error().message;
    EXPECT_NE(error.find("no helper here"), std::string::npos) << error;
    EXPECT_NE(error.find("no cuse here"), std::string::npos) << error;
}

// Ports without keying lines say why: the first refusal of the chain, or the forced kind.
TEST(PortComponentTest, PseudoTerminalsSayWhyTheyHaveNoKeyingLines) {
    SetThreadLanguage(kLangEnglish);
    RecordingMakers makers;
    makers.helperServes = makers.cuseServes = false;
    const struct {
        const char* kind;
        const char* reason;
    } cases[] = {{nullptr, "no helper here"}, {"pty", "QXM_PORT_KIND=pty"}};
    for (const auto& c : cases) {
        const auto chosen = ChoosePortComponent(c.kind, "/ports", makers.Makers());
        ASSERT_TRUE(chosen);
        const KeyingPorts keying = (**chosen).Keying();
        EXPECT_EQ(keying.state, KeyingPorts::State::kUnavailable);
        EXPECT_EQ(keying.reason, c.reason);
        EXPECT_EQ((**chosen).PortsDirectory(), "/ports");
        EXPECT_EQ(KeyingPortsText(keying),
                  std::string("Keying by RTS/DTR is unavailable: ") + c.reason);
    }
    makers.cuseServes = true;
    const auto ownCuse = ChoosePortComponent(nullptr, "/ports", makers.Makers());
    ASSERT_TRUE(ownCuse);
    EXPECT_EQ((**ownCuse).Keying().state, KeyingPorts::State::kServed);
    EXPECT_EQ(KeyingPortsText({KeyingPorts::State::kWaiting, "x"}),
              "Waiting for the keying-port service");
    SetThreadLanguage(0);
}

TEST(PortComponentTest, UnknownKindIsAnErrorAndTriesNothing) {
    RecordingMakers makers;
    for (const char* kind : {"PTY", "tty", "cuse ", "auto", "helper"}) {
        const auto refused = ChoosePortComponent(kind, "/ports", makers.Makers());
        ASSERT_FALSE(refused) << kind;
        const std::string& error = refused.error().message;
        EXPECT_NE(error.find("QXM_PORT_KIND"), std::string::npos) << error;
        EXPECT_NE(error.find(kind), std::string::npos) << error;
    }
    EXPECT_TRUE(makers.tried.empty());
}

}  // namespace
}  // namespace qx
