#pragma once
// Waits for the reader of a pipe to leave, seen from the pipe's write end, or for
// a wake-up.
//
// Linux reports a write end whose readers are all gone as an error to poll() with
// no events asked for. macOS builds pipes on sockets and does not; there kqueue
// reports it (EVFILT_WRITE with EV_EOF). The watch uses whichever the system has,
// with one contract: wait() says readerLeft once no reader has the pipe open.
//
// One per attachment, used by one thread. Both descriptors stay owned by the
// caller and must outlive the watch.
#include "platform/file_descriptor.h"

namespace vx {

class ReaderWatch {
public:
    enum class Event { readerLeft, woken, timedOut, failed };

    // end: the write end watched. wake: the read end of a non-blocking pipe whose
    // bytes wake the wait, or -1 for none.
    ReaderWatch(int end, int wake);

    // Waits up to timeoutMilliseconds for the reader to leave or a wake-up (whose
    // bytes it drains). timedOut also after an interrupted wait; failed when the
    // system refused the wait (the caller then lets go of the pipe). Where no
    // kqueue can be had, the reader's end is never reported (a failed write is).
    Event wait(int timeoutMilliseconds);

private:
    void drainWake();

    const int end;
    const int wake;
#ifdef __APPLE__
    FileDescriptor queue;  // a kqueue with both descriptors registered; empty if none
#endif
};

}  // namespace vx
