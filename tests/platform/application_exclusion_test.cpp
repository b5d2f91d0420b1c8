// The applications an audio capture leaves out while applications launch and quit.
#include "platform/application_exclusion.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/companion_identity.h"

namespace vx {
namespace {

using Positions = std::optional<std::vector<size_t>>;
using Apps = std::vector<RunningApplication>;

RunningApplication app(std::string identifier, int64_t process) {
    return RunningApplication{std::move(identifier), process};
}

TEST(ApplicationExclusionTest, TheCompanionAndTheNamedApplicationsAreLeftOutByIdentity) {
    ApplicationExclusion exclusion({app("org.named", 0), app("", 0)});
    struct Case {
        const char* identifier;
        bool excluded;
    } cases[] = {
        {kCompanionIdentity, true},
        {"org.named", true},
        {"org.other", false},
        // An application without an identifier is not matched by an empty name.
        {"", false},
        // Identities are compared whole and case by case.
        {"com.vxcapture.sender.helper", false},
        {"COM.VXCAPTURE.SENDER", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(exclusion.excludes(app(c.identifier, 1)), c.excluded) << c.identifier;
}

// Each step is the list of running applications read at one moment; the answer is
// the positions in it to leave out when a new filter is needed, nothing otherwise.
TEST(ApplicationExclusionTest, ANewFilterOnlyWhenTheProcessesLeftOutChange) {
    struct Step {
        const char* what;
        Apps running;
        Positions answer;
    } steps[] = {
        {"at the start, no companion", {app("org.a", 10), app("org.b", 11)}, std::vector<size_t>{}},
        {"nothing changed", {app("org.a", 10), app("org.b", 11)}, std::nullopt},
        {"another application launched",
         {app("org.a", 10), app("org.b", 11), app("org.c", 12)},
         std::nullopt},
        {"the companion launched",
         {app("org.a", 10), app(kCompanionIdentity, 20), app("org.b", 11)},
         std::vector<size_t>{1}},
        {"listed in another order",
         {app(kCompanionIdentity, 20), app("org.b", 11), app("org.a", 10)},
         std::nullopt},
        {"a second instance",
         {app(kCompanionIdentity, 20), app("org.b", 11), app(kCompanionIdentity, 21)},
         std::vector<size_t>{0, 2}},
        {"the first quit", {app("org.b", 11), app(kCompanionIdentity, 21)}, std::vector<size_t>{1}},
        {"relaunched as a new process",
         {app("org.b", 11), app(kCompanionIdentity, 22)},
         std::vector<size_t>{1}},
        {"quit", {app("org.b", 11)}, std::vector<size_t>{}},
        {"still gone", {app("org.b", 11)}, std::nullopt},
    };
    ApplicationExclusion exclusion({});
    for (const Step& step : steps)
        EXPECT_EQ(exclusion.update(step.running), step.answer) << step.what;
}

TEST(ApplicationExclusionTest, AFilterThatCouldNotBeAppliedIsBuiltAgain) {
    ApplicationExclusion exclusion({app("org.named", 0)});
    const Apps running = {app("org.named", 5), app("org.a", 6), app(kCompanionIdentity, 7)};
    EXPECT_EQ(exclusion.update(running), Positions(std::vector<size_t>{0, 2}));
    exclusion.forget();
    EXPECT_EQ(exclusion.update(running), Positions(std::vector<size_t>{0, 2}));
    EXPECT_EQ(exclusion.update(running), std::nullopt);
}

}  // namespace
}  // namespace vx
