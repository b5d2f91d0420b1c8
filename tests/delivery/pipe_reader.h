#pragma once
// The reading end of a FIFO as the companion application would hold it, for tests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vx::test {

// A write to a pipe whose reader has gone must fail, not end the test process.
inline void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

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
