#include "delivery/fifo_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <system_error>
#include <thread>

#include "delivery/reader_watch.h"
#include "platform/media_time.h"
#include "platform/serial_queue.h"

namespace vx {

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(200);
constexpr uint64_t kRetryPauseNanoseconds = 200'000'000;
// How often the watching thread looks whether a failed write has let go of its
// attachment, should the wake-up pipe be missing.
constexpr int kWatchPauseMilliseconds = 200;
// The longest a failed write waits for the end to be closed; the watcher, woken,
// takes a scheduling delay.
constexpr auto kCloseWait = std::chrono::seconds(1);

// A non-blocking pipe that outlives no exec, or two empty descriptors.
void makeWakePipe(FileDescriptor& read, FileDescriptor& write) {
    int ends[2];
    if (::pipe(ends) != 0) return;
    read.reset(ends[0]);
    write.reset(ends[1]);
    for (int end : ends) {
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
        ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
    }
}

// One reader's attachment: the write end of the pipe, shared by the writes in
// progress and the thread that watches it. Whoever lets go of it last closes it, and
// only then does the writer wait for the next reader. An open started while our old
// end is still open would join the old pipe, with the bytes the previous reader left
// unread still in it, and hand those to the next reader ahead of its key frame.
struct Attachment {
    FileDescriptor end;
    std::function<void()> afterClose;
    ~Attachment() {
        end.reset();
        if (afterClose) afterClose();
    }
};

void startThread(std::function<void()> work) { std::thread(std::move(work)).detach(); }

bool isFifo(const struct stat& status) { return S_ISFIFO(status.st_mode); }

}  // namespace

std::shared_ptr<FifoWriter> FifoWriter::create(std::string path, Launcher launcher) {
    return std::shared_ptr<FifoWriter>(new FifoWriter(std::move(path), std::move(launcher)));
}

bool FifoWriter::isUsablePath(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return true;  // missing (or unreachable) for now
    return isFifo(status);
}

std::optional<std::string> FifoWriter::problemWithPath(const std::string& path) {
    if (path.empty()) return "is empty";
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int error = errno;
        if (error == ENOENT) return std::nullopt;  // may be made later
        return "cannot be reached: " + std::generic_category().message(error);
    }
    if (!isFifo(status)) return "is not a named pipe";
    // The effective ids decide, as they do for open().
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
        return "is not writable: " + std::generic_category().message(errno);
    return std::nullopt;
}

FifoWriter::FifoWriter(std::string path, Launcher launcher)
    : path(std::move(path)), launcher(launcher ? std::move(launcher) : Launcher(startThread)) {
    makeWakePipe(wakeRead, wakeWrite);
}

void FifoWriter::start() {
    bool firstStart;
    {
        std::lock_guard<std::mutex> guard(lock);
        firstStart = !retryTimer;
    }
    if (firstStart) {
        auto timer = TimerSource::create(SerialQueue::create("vx-capture.pipe"));
        timer->schedule(uptimeNanoseconds() + kRetryPauseNanoseconds, kRetryPauseNanoseconds, 0);
        timer->setEventHandler([writer = weak_from_this()] {
            auto self = writer.lock();
            if (!self) return;
            bool retry;
            {
                std::lock_guard<std::mutex> guard(self->lock);
                retry = self->launchFailed;
            }
            if (retry) self->openInBackground();
        });
        timer->resume();
        std::lock_guard<std::mutex> guard(lock);
        if (!retryTimer) retryTimer = std::move(timer);
    }
    openInBackground();
}

void FifoWriter::openInBackground() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (opening || fd) return;
        opening = true;
        launchFailed = false;
    }
    try {
        // The thread holds the writer until the attempt is over.
        launcher([self = shared_from_this()] { self->openAndAttach(); });
    } catch (const std::system_error&) {
        // No thread to be had: the retry timer tries again.
        std::lock_guard<std::mutex> guard(lock);
        opening = false;
        launchFailed = true;
    }
}

FileDescriptor FifoWriter::openPipe() const {
    if (!isUsablePath(path)) return FileDescriptor();
    // Blocks until a reader opens the pipe. The path may have changed since it was
    // looked at: what was opened is what counts.
    FileDescriptor opened(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    struct stat status {};
    if (opened.valid() && (::fstat(opened.get(), &status) != 0 || !isFifo(status)))
        return FileDescriptor();  // closes it unwritten
    return opened;
}

void FifoWriter::openAndAttach() {
    FileDescriptor opened = openPipe();
    std::shared_ptr<FileDescriptor> attached;
    if (opened.valid()) {
        auto attachment = std::make_shared<Attachment>();
        attachment->end = std::move(opened);
        attachment->afterClose = [writer = weak_from_this()] {
            if (auto self = writer.lock()) self->attachmentClosed();
        };
        attached = std::shared_ptr<FileDescriptor>(attachment, &attachment->end);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        opening = false;
        fd = attached;  // replaces nothing: an open starts only while no attachment is held
        if (attached) {
            ++attachments;
            streamStarted = false;
        }
    }
    if (!attached) {
        std::this_thread::sleep_for(kRetryPause);
        openInBackground();
        return;
    }
    if (onReaderConnected) onReaderConnected();

    // A wake-up may be left over from an earlier attachment; the check of fd sorts
    // that out.
    ReaderWatch watch(attached->get(), wakeRead.get());
    for (;;) {
        const ReaderWatch::Event event = watch.wait(kWatchPauseMilliseconds);
        if (event == ReaderWatch::Event::readerLeft || event == ReaderWatch::Event::failed) break;
        std::lock_guard<std::mutex> guard(lock);
        if (fd != attached) break;
    }
    detach(attached);
    // Leaving lets go of this thread's share of the attachment; the last share to
    // go closes it and starts the wait for the next reader.
}

void FifoWriter::detach(const std::shared_ptr<FileDescriptor>& attached) {
    std::shared_ptr<FileDescriptor> gone;  // let go of outside the lock
    {
        std::lock_guard<std::mutex> guard(lock);
        if (fd == attached) gone = std::move(fd);
    }
    if (gone && wakeWrite.valid()) {
        const uint8_t wake = 1;
        (void)!::write(wakeWrite.get(), &wake, 1);  // a full pipe wakes the watcher too
    }
}

void FifoWriter::attachmentClosed() {
    {
        std::lock_guard<std::mutex> guard(lock);
        ++closes;
    }
    closed.notify_all();
    if (onReaderDisconnected) onReaderDisconnected();
    openInBackground();
}

void FifoWriter::write(std::span<const uint8_t> chunk) {
    // A write of no bytes returns 0, which the loop below takes for a reader gone.
    if (chunk.empty()) return;
    std::shared_ptr<FileDescriptor> target;
    bool mayStart = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        target = fd;
        mayStart = streamStarted;
    }
    if (!target) return;
    if (!mayStart) {
        if (isStreamStart && !isStreamStart(chunk)) return;
        std::lock_guard<std::mutex> guard(lock);
        if (fd == target) streamStarted = true;
    }

    size_t done = 0;
    for (;;) {
        ssize_t wrote = ::write(target->get(), chunk.data() + done, chunk.size() - done);
        if (wrote <= 0) break;
        done += size_t(wrote);
        if (done == chunk.size()) return;
    }

    // The reader has gone; the rest of the chunk is dropped. Wait for the end to be
    // closed, so that whoever opens the pipe next gets a fresh one.
    uint64_t ours;
    {
        std::lock_guard<std::mutex> guard(lock);
        ours = attachments;  // ours is the latest: it cannot close while target holds it
    }
    detach(target);
    target.reset();  // may close the end here, and start the next wait
    std::unique_lock<std::mutex> guard(lock);
    closed.wait_for(guard, kCloseWait, [&] { return closes >= ours; });
}

}  // namespace vx
