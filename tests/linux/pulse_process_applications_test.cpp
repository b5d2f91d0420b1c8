// Applications named by their processes, before they connect to the sound server: the
// identity a process will carry, read from its environment as libpulse reads it.
#include "platform/linux/pulse/pulse_process_applications.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vx {
namespace {

std::string environment(std::initializer_list<const char*> entries) {
    std::string text;
    for (const char* entry : entries) text.append(entry).push_back('\0');
    return text;
}

TEST(ProcessIdentityTest, NamesAProcessAsItsSoundConnectionsWillBeNamed) {
    struct Case {
        const char* name;
        std::string environment;
        std::string binary;
        std::string identity;
    };
    const std::vector<Case> cases = {
        {"PULSE_PROP's application.id",
         environment({"HOME=/h", "PULSE_PROP=application.id=org.a.App"}), "app", "org.a.App"},
        {"among other properties, quoted",
         environment({"PULSE_PROP=media.role=music application.id='org.b.App'"}), "app",
         "org.b.App"},
        {"PULSE_PROP_ form", environment({"PULSE_PROP_application.id=org.c.App"}), "app",
         "org.c.App"},
        {"PULSE_PROP_ form wins over PULSE_PROP",
         environment({"PULSE_PROP=application.id=org.late", "PULSE_PROP_application.id=org.first"}),
         "app", "org.first"},
        {"Flatpak id", environment({"FLATPAK_ID=org.d.App"}), "app", "org.d.App"},
        {"application.id before the Flatpak id",
         environment({"FLATPAK_ID=org.flat", "PULSE_PROP=application.id=org.e.App"}), "app",
         "org.e.App"},
        {"nothing named: the binary", environment({"PATH=/bin", "PULSE_PROP=media.role=music"}),
         "player", "player"},
        {"empty values name nothing", environment({"FLATPAK_ID=", "PULSE_PROP_application.id="}),
         "player", "player"},
        {"an unparsable PULSE_PROP is ignored",
         environment({"PULSE_PROP=application.id='unclosed"}), "player", "player"},
        {"entries without '=' are skipped", environment({"NOEQUALS", "FLATPAK_ID=org.f.App"}), "x",
         "org.f.App"},
        {"no environment, no binary", "", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(processIdentity(c.environment, c.binary), c.identity) << c.name;
}

// A child process that sleeps with the given environment; killed and reaped on destruction.
class Sleeper {
public:
    explicit Sleeper(std::vector<std::string> environment) {
        std::vector<char*> envp;
        for (std::string& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        char sleep[] = "sleep", seconds[] = "30";
        char* argv[] = {sleep, seconds, nullptr};
        if (posix_spawnp(&pid_, "sleep", nullptr, nullptr, argv, envp.data()) != 0) pid_ = -1;
    }
    ~Sleeper() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

bool listed(const std::vector<RunningApplication>& applications, const std::string& identity) {
    return std::any_of(applications.begin(), applications.end(),
                       [&](const RunningApplication& a) { return a.bundleIdentifier == identity; });
}

TEST(ProcessApplicationsTest, ListsRunningProcessesUnderTheirIdentityEachOnce) {
    const std::string pid = std::to_string(getpid());
    const std::string companion = "org.vxtest.companion" + pid;
    const std::string flatpak = "org.vxtest.flatpak" + pid;
    Sleeper first({"PULSE_PROP=application.id=" + companion});
    Sleeper second({"PULSE_PROP_application.id=" + companion});
    Sleeper third({"FLATPAK_ID=" + flatpak});
    ASSERT_TRUE(first.running() && second.running() && third.running());

    // The children's environments are readable once they run their binary.
    std::vector<RunningApplication> applications;
    for (int attempt = 0; attempt < 100; ++attempt) {
        applications = processApplications();
        if (listed(applications, companion) && listed(applications, flatpak)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(listed(applications, companion));
    EXPECT_TRUE(listed(applications, flatpak));
    EXPECT_EQ(
        std::count_if(applications.begin(), applications.end(),
                      [&](const RunningApplication& a) { return a.bundleIdentifier == companion; }),
        1);
    std::vector<std::string> identities;
    for (const RunningApplication& application : applications)
        identities.push_back(application.bundleIdentifier);
    std::sort(identities.begin(), identities.end());
    EXPECT_EQ(std::adjacent_find(identities.begin(), identities.end()), identities.end())
        << "an identity is listed twice";
}

}  // namespace
}  // namespace vx
