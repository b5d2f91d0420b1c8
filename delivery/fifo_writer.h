#pragma once
// Writes byte chunks to a named pipe whose reader may attach, leave and come back
// at any time.
//
// start() begins waiting for a reader on a background thread (a blocking
// write-only open, retried every 0.2 s while it fails), so no caller ever waits for
// a reader. While no reader is attached, chunks are dropped. Every attachment fires
// onReaderConnected once, on the background thread, outside the lock.
//
// The reader leaving is noticed two ways: a failed write, or the background thread,
// which stays with the attachment and watches the pipe for its reader's end. Either
// way the writer lets go of its end; the last user of it (a write in progress, the
// watcher) closes it, and only then does the wait for the next reader begin: an
// open made while the old end is still open would join the old pipe, leftovers and
// all. A failed write wakes the watcher and returns only once the end is closed, so
// a reader that opens the pipe after that gets a fresh one. Watching matters
// for a reader that leaves and comes back between two writes (a still screen writes
// every 100 ms): without it the newcomer would join the old pipe, get the bytes the
// previous reader left unread, and no key frame would be asked for it. A reader
// that comes back within microseconds can still join the old pipe; nothing in the
// system tells a writer that a new reader opened a pipe it already holds.
//
// The path is opened as it stands: the writer never creates, truncates or checks it.
// SIGPIPE must be ignored by the process, or a write after the reader left ends it.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/file_descriptor.h"

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
    // full), else drops it. After a failed write it waits (briefly: the watcher is
    // woken) for the end to be closed. An empty chunk makes no system call. Calls
    // must not overlap: chunks of overlapping calls could interleave in the pipe.
    void write(std::span<const uint8_t> chunk);

    // Fired once after every successful open, on the opening thread. Set before
    // start() and not changed afterwards.
    std::function<void()> onReaderConnected;

private:
    explicit FifoWriter(std::string path);
    void openInBackground();
    void openAndAttach();
    // Lets go of attached unless that has already happened. The wait for the next
    // reader starts once the last user of attached has let go of it too.
    void detach(const std::shared_ptr<FileDescriptor>& attached);
    // Called once the end of an attachment is closed.
    void attachmentClosed();

    const std::string path;
    // Guards fd, opening and the counts below; never held across a system call.
    std::mutex lock;
    // The pipe while a reader is attached. Shared, so that a write in progress keeps
    // the descriptor open (and its number taken) while the watcher lets go of it.
    std::shared_ptr<FileDescriptor> fd;
    bool opening = false;     // a background open is in progress
    // Attachments made and closed so far; they come one after the other, so the
    // attachment numbered n is closed once closes >= n.
    uint64_t attachments = 0;
    uint64_t closes = 0;
    std::condition_variable closed;  // signalled when closes grows
    // A pipe whose read end the watcher polls beside the pipe, so that a failed write
    // can wake it at once. Either may be empty (the watcher then only polls on a timer).
    FileDescriptor wakeRead;
    FileDescriptor wakeWrite;
};

}  // namespace vx
