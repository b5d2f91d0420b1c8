#include "delivery/fifo_writer.h"

#include <fcntl.h>
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
        if (opening || fd.valid()) return;
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
    const bool attached = opened.valid();
    {
        std::lock_guard<std::mutex> guard(lock);
        opening = false;
        if (attached) fd = std::move(opened);
    }
    if (!attached) {
        std::this_thread::sleep_for(kRetryPause);
        openInBackground();
        return;
    }
    if (onReaderConnected) onReaderConnected();
}

void FifoWriter::write(std::span<const uint8_t> chunk) {
    int target;
    {
        std::lock_guard<std::mutex> guard(lock);
        target = fd.get();
    }
    if (target < 0 || chunk.empty()) return;

    size_t done = 0;
    while (done < chunk.size()) {
        ssize_t wrote = ::write(target, chunk.data() + done, chunk.size() - done);
        if (wrote <= 0) break;
        done += size_t(wrote);
    }
    if (done == chunk.size()) return;

    // The reader has gone. Close our end unless another failed write already did,
    // then wait for the next reader; the rest of the chunk is dropped.
    FileDescriptor gone;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (fd.get() == target) gone = std::move(fd);
    }
    gone.reset();
    openInBackground();
}

}  // namespace vx
