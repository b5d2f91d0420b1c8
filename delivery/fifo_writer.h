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
// Only a named pipe is ever written. Before each open the path is looked at, and
// after it what was opened: anything else (a regular file, a directory, a device,
// a symlink to one of them) is closed unwritten and counts as a failed open, retried
// silently every 0.2 s as for a missing path. The writer never creates or truncates
// the path. SIGPIPE must be ignored by the process, or a write after the reader left
// ends it.
//
// A new reader's stream begins with a chunk that isStreamStart accepts: the chunks
// before it are dropped for that reader (in video, the access units ahead of the
// first key frame, which no decoder could use).
//
// Threads: one detached thread per open attempt, started through the launcher. When
// none can be had, a timer started with start() tries again every 0.2 s, so the
// writer never stays without a waiting thread.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/file_descriptor.h"
#include "platform/timer_source.h"

namespace vx {

class FifoWriter : public std::enable_shared_from_this<FifoWriter> {
public:
    // Runs work on a new detached thread; throws std::system_error when no thread
    // can be had. The default starts a std::thread.
    using Launcher = std::function<void(std::function<void()>)>;

    static std::shared_ptr<FifoWriter> create(std::string path, Launcher launcher = {});

    // False when path names something that exists and is not a named pipe (a
    // symlink is followed); a missing path is fine, it may be made later.
    static bool isUsablePath(const std::string& path);

    // Why path can never be written by this process, as words that follow the
    // path in a message ("is not a named pipe", "cannot be reached: Not a
    // directory", ...); empty when it can be, or may be once made. Refused: an
    // empty path, one that names something else than a named pipe, one under a
    // file or too long for the system, and a named pipe this process may not open
    // for writing. A path that does not exist yet (its folders neither) is fine.
    static std::optional<std::string> problemWithPath(const std::string& path);

    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    // Starts waiting for a reader, unless a reader is attached or an open is already
    // in progress. Returns at once. The first call also starts the timer that
    // retries a thread that could not be had; it throws std::system_error when the
    // timer's own threads cannot be had.
    void start();

    // Writes the whole chunk if a reader is attached (blocking while the pipe is
    // full), else drops it. After a failed write it waits (briefly: the watcher is
    // woken) for the end to be closed. An empty chunk makes no system call. Calls
    // must not overlap: chunks of overlapping calls could interleave in the pipe.
    void write(std::span<const uint8_t> chunk);

    // Fired once after every successful open, on the opening thread. Set before
    // start() and not changed afterwards.
    std::function<void()> onReaderConnected;

    // Fired once for every attachment, after its end is closed and before the wait
    // for the next reader starts, on the thread that let go of it last (a write or
    // the watcher). Set before start() and not changed afterwards.
    std::function<void()> onReaderDisconnected;

    // Whether a chunk may be the first one a new reader gets. Called by write(), on
    // its thread, for the chunks of an attachment until one is accepted. Empty: any
    // chunk may. Set before start() and not changed afterwards.
    std::function<bool(std::span<const uint8_t>)> isStreamStart;

private:
    FifoWriter(std::string path, Launcher launcher);
    void openInBackground();
    // Opens path if it names a named pipe; an invalid descriptor otherwise.
    FileDescriptor openPipe() const;
    void openAndAttach();
    // Lets go of attached unless that has already happened. The wait for the next
    // reader starts once the last user of attached has let go of it too.
    void detach(const std::shared_ptr<FileDescriptor>& attached);
    // Called once the end of an attachment is closed.
    void attachmentClosed();

    const std::string path;
    const Launcher launcher;
    // Guards fd, opening, streamStarted, launchFailed and the counts below; never
    // held across a system call.
    std::mutex lock;
    // The pipe while a reader is attached. Shared, so that a write in progress keeps
    // the descriptor open (and its number taken) while the watcher lets go of it.
    std::shared_ptr<FileDescriptor> fd;
    bool opening = false;        // a background open is in progress
    bool streamStarted = false;  // the current attachment has had its first chunk
    bool launchFailed = false;   // no thread could be had for the last open attempt
    // Attachments made and closed so far; they come one after the other, so the
    // attachment numbered n is closed once closes >= n.
    uint64_t attachments = 0;
    uint64_t closes = 0;
    std::condition_variable closed;  // signalled when closes grows
    // A pipe whose read end the watcher polls beside the pipe, so that a failed write
    // can wake it at once. Either may be empty (the watcher then only polls on a timer).
    FileDescriptor wakeRead;
    FileDescriptor wakeWrite;
    std::shared_ptr<TimerSource> retryTimer;  // set by the first start()
};

}  // namespace vx
