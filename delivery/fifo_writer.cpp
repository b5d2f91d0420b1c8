#include "delivery/fifo_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <system_error>
#include <thread>

namespace vx {

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(200);
// How often the watching thread looks whether a failed write has let go of its
// attachment while the reader still holds the pipe (it would otherwise keep the
// attachment, and the next wait, back until that reader leaves).
constexpr int kWatchPauseMilliseconds = 200;

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

}  // namespace

std::shared_ptr<FifoWriter> FifoWriter::create(std::string path) {
    return std::shared_ptr<FifoWriter>(new FifoWriter(std::move(path)));
}

FifoWriter::FifoWriter(std::string path) : path(std::move(path)) {}

void FifoWriter::start() { openInBackground(); }

void FifoWriter::openInBackground() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (opening || fd) return;
        opening = true;
    }
    try {
        // The thread holds the writer until the attempt is over.
        std::thread([self = shared_from_this()] { self->openAndAttach(); }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: stay waiting, so that a later call can try again.
        std::lock_guard<std::mutex> guard(lock);
        opening = false;
    }
}

void FifoWriter::openAndAttach() {
    // Blocks until a reader opens the pipe.
    FileDescriptor opened(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    std::shared_ptr<FileDescriptor> attached;
    if (opened.valid()) {
        auto attachment = std::make_shared<Attachment>();
        attachment->end = std::move(opened);
        attachment->afterClose = [writer = weak_from_this()] {
            if (auto self = writer.lock()) self->openInBackground();
        };
        attached = std::shared_ptr<FileDescriptor>(attachment, &attachment->end);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        opening = false;
        fd = attached;  // replaces nothing: an open starts only while no attachment is held
    }
    if (!attached) {
        std::this_thread::sleep_for(kRetryPause);
        openInBackground();
        return;
    }
    if (onReaderConnected) onReaderConnected();

    // The write end of a pipe reports an error once no reader has it open. (A
    // regular file never does: this thread then stays with it for good.)
    pollfd watch{attached->get(), 0, 0};
    for (;;) {
        const int ready = ::poll(&watch, 1, kWatchPauseMilliseconds);
        if (ready > 0 || (ready < 0 && errno != EINTR)) break;
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
}

void FifoWriter::write(std::span<const uint8_t> chunk) {
    std::shared_ptr<FileDescriptor> target;
    {
        std::lock_guard<std::mutex> guard(lock);
        target = fd;
    }
    if (!target || chunk.empty()) return;

    size_t done = 0;
    while (done < chunk.size()) {
        ssize_t wrote = ::write(target->get(), chunk.data() + done, chunk.size() - done);
        if (wrote <= 0) break;
        done += size_t(wrote);
    }
    // On failure the reader has gone; the rest of the chunk is dropped.
    if (done != chunk.size()) detach(target);
}

}  // namespace vx
