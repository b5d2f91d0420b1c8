#pragma once
// Test helpers for named pipes: a temporary directory, and the reading end of a
// FIFO as the companion application would hold it.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace vx::test {

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vx-fifo-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Opens the FIFO for reading without waiting for a writer; reads then block.
class PipeReader {
public:
    explicit PipeReader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK)) {
        if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    }
    ~PipeReader() { close(); }
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Reads until count bytes have come or timeout has passed without data.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::vector<uint8_t> bytes;
        while (bytes.size() < count) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, int(timeout.count())) <= 0) break;
            uint8_t buffer[65536];
            size_t want = std::min(sizeof buffer, count - bytes.size());
            ssize_t got = ::read(fd_, buffer, want);
            if (got <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }

    // Whatever is in the pipe right now.
    std::vector<uint8_t> readAvailable() { return read(SIZE_MAX, std::chrono::milliseconds(0)); }

private:
    int fd_;
};

}  // namespace vx::test

#include <signal.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace vx::test {

// A write to a pipe whose reader has gone must fail, not end the test process.
inline void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

// Counts calls of the callback it hands out; the count outlives whoever calls it.
class CallCounter {
public:
    std::function<void()> callback() {
        return [state = state_] {
            std::lock_guard<std::mutex> guard(state->mutex);
            ++state->count;
            state->changed.notify_all();
        };
    }
    int count() const {
        std::lock_guard<std::mutex> guard(state_->mutex);
        return state_->count;
    }
    bool waitFor(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->changed.wait_for(lock, timeout, [&] { return state_->count >= count; });
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        int count = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace vx::test
