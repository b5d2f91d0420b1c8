#pragma once
// Writes byte chunks to a named pipe whose reader may attach, leave and come back
// at any time.
//
// start() begins waiting for a reader on a background thread (a blocking
// write-only open, retried every 0.2 s while it fails), so no caller ever waits for
// a reader. While no reader is attached, chunks are dropped. A failed write means
// the reader has gone: the writer closes its end and waits for the next one. Every
// attachment fires onReaderConnected once, on the background thread, outside the lock.
//
// The path is opened as it stands: the writer never creates, truncates or checks it.
// SIGPIPE must be ignored by the process, or a write after the reader left ends it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "delivery/file_descriptor.h"

namespace vx {

class FifoWriter : public std::enable_shared_from_this<FifoWriter> {
public:
    static std::shared_ptr<FifoWriter> create(std::string path);

    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    // Starts waiting for a reader, unless a reader is attached or an open is already
    // in progress. Returns at once.
    void start();

    // Writes the whole chunk if a reader is attached (blocking while the pipe is
    // full), else drops it. An empty chunk makes no system call. Calls must not
    // overlap: chunks of overlapping calls could interleave in the pipe.
    void write(std::span<const uint8_t> chunk);

    // Fired once after every successful open, on the opening thread. Set before
    // start() and not changed afterwards.
    std::function<void()> onReaderConnected;

private:
    explicit FifoWriter(std::string path);
    void openInBackground();
    void openAndAttach();

    const std::string path;
    std::mutex lock;          // guards fd and opening; never held across a system call
    FileDescriptor fd;        // the pipe while a reader is attached
    bool opening = false;     // a background open is in progress
};

}  // namespace vx
