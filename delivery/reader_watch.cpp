#include "delivery/reader_watch.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <poll.h>
#ifdef __APPLE__
#include <sys/event.h>
#include <sys/time.h>
#endif

namespace vx {

ReaderWatch::ReaderWatch(int end, int wake) : end(end), wake(wake) {
#ifdef __APPLE__
    queue.reset(::kqueue());
    if (!queue.valid()) return;
    ::fcntl(queue.get(), F_SETFD, FD_CLOEXEC);
    // EV_CLEAR: reported when the pipe's room changes, not as long as there is room;
    // the reader's end comes with EV_EOF.
    struct kevent changes[2];
    int count = 0;
    EV_SET(&changes[count++], end, EVFILT_WRITE, EV_ADD | EV_CLEAR, 0, 0, nullptr);
    if (wake >= 0) EV_SET(&changes[count++], wake, EVFILT_READ, EV_ADD, 0, 0, nullptr);
    if (::kevent(queue.get(), changes, count, nullptr, 0, nullptr) != 0) queue.reset();
#endif
}

void ReaderWatch::drainWake() {
    uint8_t drain[64];
    while (::read(wake, drain, sizeof drain) > 0) {}
}

#ifdef __APPLE__
ReaderWatch::Event ReaderWatch::wait(int timeoutMilliseconds) {
    if (!queue.valid()) {  // no kqueue to be had: only a failed write notices
        pollfd watch = {wake, POLLIN, 0};
        if (::poll(&watch, wake >= 0 ? 1 : 0, timeoutMilliseconds) <= 0) return Event::timedOut;
        drainWake();
        return Event::woken;
    }
    struct timespec timeout = {timeoutMilliseconds / 1000,
                               long(timeoutMilliseconds % 1000) * 1'000'000};
    struct kevent events[2];
    const int ready = ::kevent(queue.get(), nullptr, 0, events, 2, &timeout);
    if (ready < 0) return errno == EINTR ? Event::timedOut : Event::failed;
    Event result = Event::timedOut;
    for (int i = 0; i < ready; ++i) {
        if (events[i].filter == EVFILT_WRITE && int(events[i].ident) == end) {
            if (events[i].flags & (EV_EOF | EV_ERROR)) return Event::readerLeft;
        } else if (events[i].filter == EVFILT_READ) {
            drainWake();
            result = Event::woken;
        }
    }
    return result;
}
#else
ReaderWatch::Event ReaderWatch::wait(int timeoutMilliseconds) {
    pollfd watch[2] = {{end, 0, 0}, {wake, POLLIN, 0}};
    const int ready = ::poll(watch, wake >= 0 ? 2 : 1, timeoutMilliseconds);
    if (ready < 0) return errno == EINTR ? Event::timedOut : Event::failed;
    if (ready > 0 && watch[0].revents != 0) return Event::readerLeft;
    if (ready > 0 && watch[1].revents != 0) {
        drainWake();
        return Event::woken;
    }
    return Event::timedOut;
}
#endif

}  // namespace vx
