#include "app/port_component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_port.h"

namespace qx {
namespace {

// Makers that record which kind was tried and serve only when told to.
struct RecordingMakers {
    bool ptyServes = true;
    bool cuseServes = true;
    std::vector<std::string> tried;

    PortComponentMakers Makers() {
        auto maker = [this](const char* kind, const bool& serves) {
            return [this, kind, &serves](const std::string& directory) -> std::unique_ptr<IVSPortAxClass> {
                tried.push_back(std::string(kind) + " " + directory);
                if (!serves) return nullptr;
                return std::make_unique<test::FakePortClass>(directory);
            };
        };
        return {maker("pty", ptyServes), maker("cuse", cuseServes)};
    }
};

TEST(PortComponentTest, UnsetPrefersCuseAndFallsBackToPseudoTerminals) {
    RecordingMakers makers;
    std::string error;
    EXPECT_TRUE(ChoosePortComponent(nullptr, "/ports", makers.Makers(), &error));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"cuse /ports"}));

    makers.tried.clear();
    makers.cuseServes = false;
    EXPECT_TRUE(ChoosePortComponent("", "/ports", makers.Makers(), &error));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"cuse /ports", "pty /ports"}));

    makers.tried.clear();
    makers.ptyServes = false;
    EXPECT_FALSE(ChoosePortComponent(nullptr, "/ports", makers.Makers(), &error));
    EXPECT_NE(error.find("/ports"), std::string::npos) << error;
}

TEST(PortComponentTest, ForcedKindIsTheOnlyOneTried) {
    RecordingMakers makers;
    std::string error;
    EXPECT_TRUE(ChoosePortComponent("pty", "/ports", makers.Makers(), &error));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"pty /ports"}));

    // A forced CUSE that cannot be served fails rather than quietly giving ports without lines.
    makers.tried.clear();
    makers.cuseServes = false;
    EXPECT_FALSE(ChoosePortComponent("cuse", "/ports", makers.Makers(), &error));
    EXPECT_EQ(makers.tried, (std::vector<std::string>{"cuse /ports"}));
    EXPECT_NE(error.find("/dev/cuse"), std::string::npos) << error;
}

TEST(PortComponentTest, UnknownKindIsAnErrorAndTriesNothing) {
    RecordingMakers makers;
    for (const char* kind : {"PTY", "tty", "cuse ", "auto"}) {
        std::string error;
        EXPECT_FALSE(ChoosePortComponent(kind, "/ports", makers.Makers(), &error)) << kind;
        EXPECT_NE(error.find("QXM_PORT_KIND"), std::string::npos) << error;
        EXPECT_NE(error.find(kind), std::string::npos) << error;
    }
    EXPECT_TRUE(makers.tried.empty());
}

}  // namespace
}  // namespace qx
