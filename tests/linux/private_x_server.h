#pragma once
// A private Xvfb for the tests of the X11 pieces: started on a free display number
// (-displayfd), $DISPLAY pointed at it while it lives, killed on destruction. Drawing
// on its root window goes through a connection of the test's own.
//
// A server that cannot be started (Xvfb not installed, or it did not come up) fails
// the test that asked for it, so that a machine without Xvfb cannot pass for a green
// run; only with VX_ALLOW_SKIP=1 in the environment may the test skip instead
// (running() is then false).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <gtest/gtest.h>

namespace vx::test {

class PrivateXServer {
public:
    // extraArguments go to Xvfb as they are (e.g. {"-extension", "DAMAGE"} to leave one out).
    PrivateXServer(int width, int height, std::vector<std::string> extraArguments = {}) {
        start(width, height, std::move(extraArguments));
        if (!painter_ && !skipAllowed())
            ADD_FAILURE() << "Xvfb could not be started (install the package xvfb, or set "
                             "VX_ALLOW_SKIP=1 to skip the tests that need it)";
    }

    static bool skipAllowed() {
        const char* allow = std::getenv("VX_ALLOW_SKIP");
        return allow && std::string(allow) == "1";
    }

    ~PrivateXServer() { kill(); }

    bool running() const { return painter_ != nullptr; }
    const std::string& name() const { return name_; }

    void fill(unsigned long rgb, int x, int y, int width, int height) {
        GC gc = DefaultGC(painter_, DefaultScreen(painter_));
        XSetForeground(painter_, gc, rgb);
        XFillRectangle(painter_, DefaultRootWindow(painter_), gc, x, y, width, height);
        XSync(painter_, False);
    }

    void movePointer(int x, int y) {
        XWarpPointer(painter_, None, DefaultRootWindow(painter_), 0, 0, 0, 0, x, y);
        XSync(painter_, False);
    }

    // The painter's connection is closed first: Xlib cannot close it once the server is gone.
    void kill() {
        if (painter_) XCloseDisplay(painter_);
        painter_ = nullptr;
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    void start(int width, int height, std::vector<std::string> extraArguments) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
            std::string fd = std::to_string(fds[1]);
            std::vector<std::string> words = {"Xvfb", "-displayfd", fd, "-screen", "0", screen,
                                              "-nolisten", "tcp", "-noreset"};
            words.insert(words.end(), extraArguments.begin(), extraArguments.end());
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp("Xvfb", argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd ready{fds[0], POLLIN, 0};
        char c;
        while (poll(&ready, 1, 10000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (number.empty()) return;
        name_ = ":" + number;
        setenv("DISPLAY", name_.c_str(), 1);
        painter_ = XOpenDisplay(name_.c_str());
    }

    pid_t pid_ = -1;
    std::string name_;
    ::Display* painter_ = nullptr;
};

}  // namespace vx::test
