#include "delivery/fifo_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <system_error>
#include <thread>

namespace vx {

namespace {
constexpr auto kRetryPause = std::chrono::milliseconds(200);
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
    {
        std::lock_guard<std::mutex> guard(lock);
        opening = false;
        if (opened.valid()) fd = attached = std::make_shared<FileDescriptor>(std::move(opened));
    }
    if (!attached) {
        std::this_thread::sleep_for(kRetryPause);
        openInBackground();
        return;
    }
    if (onReaderConnected) onReaderConnected();

    // The write end of a pipe reports an error once no reader has it open. (A
    // regular file never does: this thread then waits for good, which costs nothing.)
    pollfd watch{attached->get(), 0, 0};
    while (::poll(&watch, 1, -1) < 0 && errno == EINTR) {
    }
    detach(attached);
}

void FifoWriter::detach(const std::shared_ptr<FileDescriptor>& attached) {
    std::shared_ptr<FileDescriptor> gone;  // closed outside the lock, once no write uses it
    {
        std::lock_guard<std::mutex> guard(lock);
        if (fd == attached) gone = std::move(fd);
    }
    gone.reset();
    openInBackground();
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
