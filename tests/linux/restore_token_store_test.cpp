// The kept restore token of the screen-cast portal: where it lives, private
// permissions, whole-file replacement, and what it refuses to load or store.
#include "platform/linux/wayland/restore_token_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "../delivery/temporary_directory.h"
#include "platform/file_descriptor.h"

namespace vx {
namespace {

constexpr const char* kToken = "d1818748-9818-4cf2-977a-f147d86decfd";

unsigned modeOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 0777;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Sets an environment variable for the scope, then puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(RestoreTokenStore, KeepsTheTokenInPrivateFoldersMadeOnSave) {
    test::TemporaryDirectory directory;
    const std::string folder = directory.file("state/vx-capture");
    RestoreTokenStore store(folder + "/restore-token");
    EXPECT_EQ(store.load(), "");
    ASSERT_TRUE(store.save(kToken));
    EXPECT_EQ(store.load(), kToken);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + "/restore-token"), 0600u);

    ASSERT_TRUE(store.save("second-token"));
    EXPECT_EQ(store.load(), "second-token");
    // Written under a temporary name and renamed: nothing else is left in the folder.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) entries += bool(entry.exists());
    EXPECT_EQ(entries, 1);

    store.drop();
    EXPECT_EQ(store.load(), "");
}

TEST(RestoreTokenStore, TightensAFolderOfItsOwnThatOthersCouldRead) {
    test::TemporaryDirectory directory;
    const std::string folder = directory.file("vx-capture");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(RestoreTokenStore(folder + "/restore-token").save(kToken));
    EXPECT_EQ(modeOf(folder), 0700u);
}

TEST(RestoreTokenStore, LoadsOnlyWhatCanBeAToken) {
    const struct {
        std::string contents;
        std::string loaded;
    } cases[] = {
        {std::string(kToken) + "\n", kToken},
        {kToken, kToken},
        {"", ""},
        {"\n", ""},
        {"two words", ""},
        {"../../etc/passwd", ""},
        {std::string(129, 'a'), ""},
        {std::string(128, 'a'), std::string(128, 'a')},
        {"line\nsecond", ""},
        {std::string("nul\0byte", 8), ""},
    };
    test::TemporaryDirectory directory;
    const std::string path = directory.file("restore-token");
    for (const auto& c : cases) {
        writeFile(path, c.contents);
        EXPECT_EQ(RestoreTokenStore(path).load(), c.loaded) << c.contents;
    }
}

TEST(RestoreTokenStore, ReadsOnlyARegularFile) {
    // Whatever else lies at the path gives no token and never blocks: a FIFO with a
    // token waiting in it (a writer holds it open, so a blocking open would pass), a
    // FIFO nobody writes to (a blocking open would wait for ever), a folder, a link.
    test::TemporaryDirectory directory;
    const std::string fed = directory.file("fed-fifo"), idle = directory.file("idle-fifo");
    ASSERT_EQ(mkfifo(fed.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(idle.c_str(), 0600), 0);
    const FileDescriptor writer(open(fed.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(writer.valid());
    const std::string line = std::string(kToken) + "\n";
    ASSERT_EQ(write(writer.get(), line.data(), line.size()), ssize_t(line.size()));
    const std::string folder = directory.file("folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string real = directory.file("real"), link = directory.file("link");
    writeFile(real, kToken);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    for (const std::string& path : {fed, idle, folder, link})
        EXPECT_EQ(RestoreTokenStore(path).load(), "") << path;
    EXPECT_EQ(RestoreTokenStore(real).load(), kToken);
}

TEST(RestoreTokenStore, RefusesToStoreWhatCannotBeAToken) {
    test::TemporaryDirectory directory;
    RestoreTokenStore store(directory.file("restore-token"));
    ASSERT_TRUE(store.save(kToken));
    for (const std::string bad : {"", "a b", "x\n", "a/b"}) EXPECT_FALSE(store.save(bad)) << bad;
    EXPECT_EQ(store.load(), kToken);
}

TEST(RestoreTokenStore, PathComesFromXdgStateHomeElseHome) {
    const struct {
        const char* stateHome;
        const char* home;
        std::string path;
    } cases[] = {
        {"/state", "/home/me", "/state/vx-capture/restore-token"},
        {nullptr, "/home/me", "/home/me/.local/state/vx-capture/restore-token"},
        {"", "/home/me", "/home/me/.local/state/vx-capture/restore-token"},
        {"relative/state", "/home/me", "/home/me/.local/state/vx-capture/restore-token"},
        {nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        ScopedEnv state("XDG_STATE_HOME", c.stateHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(RestoreTokenStore::defaultPath(), c.path);
    }
}

}  // namespace
}  // namespace vx
