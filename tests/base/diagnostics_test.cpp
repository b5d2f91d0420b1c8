#include "base/diagnostics.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vx {
namespace {

struct Outcome {
    std::string stderrBytes;
    int status;
};

// Runs body in a child process whose standard error is a pipe; the child ends
// with status 0 if body returns.
Outcome runInChild(const std::function<void()>& body) {
    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        body();
        _exit(0);
    }
    close(pipeFds[1]);
    std::string bytes;
    char buffer[256];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) bytes.append(buffer, size_t(got));
    close(pipeFds[0]);
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    return {bytes, WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1};
}

TEST(DiagnosticsTest, LinesHaveTheirExactBytes) {
    struct Case {
        const char* name;
        std::function<void()> body;
        std::string bytes;
        int status;
    };
    const Case cases[] = {
        {"fail", [] { fail("no display to capture", 3); }, "vx-capture: no display to capture\n",
         3},
        {"fail empty", [] { fail("", 2); }, "vx-capture: \n", 2},
        {"fail utf8", [] { fail("caf\xc3\xa9", 5); }, "vx-capture: caf\xc3\xa9\n", 5},
        {"log", [] { log("started"); }, "started\n", 0},
        {"log empty", [] { log(""); }, "\n", 0},
        {"log then fail",
         [] {
             log("a");
             fail("b", 3);
         },
         "a\nvx-capture: b\n", 3},
        {"endProcess", [] { endProcess(0); }, "", 0},
        {"fail quoting a newline", [] { fail("--out /tmp/a\nb is not a named pipe", 2); },
         "vx-capture: --out /tmp/a\\nb is not a named pipe\n", 2},
        {"log quoting a newline", [] { log("x\ny"); }, "x\\ny\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = runInChild(c.body);
        EXPECT_EQ(outcome.stderrBytes, c.bytes);
        EXPECT_EQ(outcome.status, c.status);
    }
}

TEST(DiagnosticsTest, OneLineWritesOutControlCharacters) {
    const struct {
        std::string text, line;
    } cases[] = {
        {"", ""},
        {"plain /tmp/video.fifo", "plain /tmp/video.fifo"},
        {"a\nb", "a\\nb"},
        {"a\r\nb", "a\\r\\nb"},
        {"tab\there", "tab\\there"},
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"caf\xc3\xa9 \xe2\x80\xa8", "caf\xc3\xa9 \xe2\x80\xa8"},
        {"back\\slash kept", "back\\slash kept"},
        {"\n", "\\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(oneLine(c.text), c.line);
    }
}

TEST(DiagnosticsTest, FailEndsTheProcessWithoutRunningExitHandlers) {
    Outcome outcome = runInChild([] {
        std::atexit([] { (void)!write(2, "atexit ran\n", 11); });
        fail("bye", 3);
    });
    EXPECT_EQ(outcome.stderrBytes, "vx-capture: bye\n");
    EXPECT_EQ(outcome.status, 3);
}

TEST(DiagnosticsTest, ALineGoesOutInOneWrite) {
    // Many threads logging at once: every line arrives whole.
    Outcome outcome = runInChild([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 200; ++i) log(std::string(100, char('a' + t)));
            });
        for (auto& thread : threads) thread.join();
    });
    size_t start = 0, lines = 0;
    while (start < outcome.stderrBytes.size()) {
        size_t end = outcome.stderrBytes.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string line = outcome.stderrBytes.substr(start, end - start);
        ASSERT_EQ(line, std::string(100, line[0]));
        start = end + 1;
        ++lines;
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace vx
