#pragma once
// Owns one POSIX file descriptor and closes it when released. Move-only.
#include <unistd.h>

#include <utility>

namespace vx {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    // -1 when nothing is held.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Closes what is held (the result of close is of no use: the descriptor is gone
    // either way) and takes fd instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace vx
