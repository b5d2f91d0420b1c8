// The running applications of a shareable content: listed when first read, never when unread.
#include "platform/running_applications.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/shareable_content.h"

namespace vx {
namespace {

std::vector<std::string> identities(const RunningApplications& applications) {
    std::vector<std::string> out;
    for (const RunningApplication& application : applications)
        out.push_back(application.bundleIdentifier);
    return out;
}

TEST(RunningApplicationsTest, AListerRunsOnlyWhenTheListIsReadAndThenOnce) {
    int listings = 0;
    ShareableContent content;
    content.applications = RunningApplications(RunningApplications::Lister([&] {
        ++listings;
        return RunningApplications::List{{"org.a"}, {"org.b"}};
    }));
    ShareableContent moved = std::move(content);
    EXPECT_EQ(listings, 0) << "listed before anything read the applications";

    EXPECT_EQ(identities(moved.applications), (std::vector<std::string>{"org.a", "org.b"}));
    EXPECT_EQ(moved.applications.size(), 2u);
    EXPECT_FALSE(moved.applications.empty());
    EXPECT_EQ(moved.applications[1].bundleIdentifier, "org.b");
    EXPECT_EQ(listings, 1);
}

TEST(RunningApplicationsTest, AGivenListOrNoneReadsAsIsAndCanGrow) {
    RunningApplications none;
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(identities(none), std::vector<std::string>{});

    RunningApplications given(RunningApplications::List{{"org.a"}});
    given.push_back({"org.b"});
    EXPECT_EQ(identities(given), (std::vector<std::string>{"org.a", "org.b"}));

    int listings = 0;
    RunningApplications listed(RunningApplications::Lister([&] {
        ++listings;
        return RunningApplications::List{{"org.a"}};
    }));
    listed.push_back({"org.c"});  // added after what the lister gives
    EXPECT_EQ(identities(listed), (std::vector<std::string>{"org.a", "org.c"}));
    EXPECT_EQ(listings, 1);
}

}  // namespace
}  // namespace vx
