#include "app/entry_point.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <thread>

#include "base/diagnostics.h"
#include "base/options.h"
#include "base/process_state.h"
#include "capture/session_starters.h"
#include "platform/main_loop.h"

namespace vx {

namespace {

// Runs the mode's session starter, then reports how it went. Besides the
// platform's refusals (vx::Error), whatever else a start can meet (a thread that
// cannot be created, memory that cannot be had) is a start failure too, reported
// the same way with status 3.
void runStartTask() {
    try {
        if (mode == "audio") startAudio();
        else startVideo();
        log("started");
    } catch (const Error& error) {
        int status = error.code == kUserDeclinedCapture ? 5 : 3;
        fail("could not start capture: " + error.description, status);
    } catch (const std::bad_alloc&) {
        fail("could not start capture: out of memory", 3);
    } catch (const std::exception& error) {
        fail(std::string("could not start capture: ") + error.what(), 3);
    } catch (...) {
        fail("could not start capture: unknown failure", 3);
    }
}

// The parent stops us by closing our standard input (or by going away). Bytes that
// arrive are discarded. A read error other than an interruption means standard
// input is unusable (closed, not open, an I/O error on a vanished terminal): it
// is treated like the end of input, since the parent can no longer stop us
// through it.
[[noreturn]] void watchStandardInput() {
    char bytes[4096];
    for (;;) {
        ssize_t got = ::read(0, bytes, sizeof bytes);
        if (got > 0) continue;
        if (got < 0 && errno == EINTR) continue;
        endProcess(0);
    }
}

// A standard descriptor that the parent left closed is opened on /dev/null, so
// that nothing the program opens later (a server connection, a pipe) takes its
// number: the watcher would read it as standard input, audio would be written
// into it, lines would go into it. Standard input then ends at once (status 0),
// standard output cannot be written (audio mode ends with status 0, as when its
// reader has gone), and lines on standard error go nowhere.
void holdStandardDescriptors() {
    for (int fd : {0, 1, 2}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = ::open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        if (opened < 0 || opened == fd) continue;
        ::dup2(opened, fd);
        ::close(opened);
    }
}

}  // namespace

void runEntryPoint(int argc, char** argv) {
    // First of all: a parent that has closed its end of standard error (or of
    // standard output) must see our exit status, the usage line's included, and
    // not a death by SIGPIPE. Writes to a closed pipe then fail with EPIPE.
    signal(SIGPIPE, SIG_IGN);
    holdStandardDescriptors();
    setArguments(std::vector<std::string>(argv, argv + argc));
    mode = argc > 1 ? argv[1] : "";
    if (mode != "audio" && mode != "video") {
        writeLine("vx-capture: usage: vx-capture audio|video [options], see main\n");
        endProcess(2);
    }
    activeStream.reset();
    keepAlive.clear();

    try {
        std::thread(runStartTask).detach();
        std::thread(watchStandardInput).detach();
    } catch (const std::exception& error) {
        fail(std::string("could not start capture: ") + error.what(), 3);
    }
    parkMainThread();
}

}  // namespace vx
