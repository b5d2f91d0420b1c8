#include "platform/linux/wayland/restore_token_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file_descriptor.h"

namespace vx {

namespace {

constexpr size_t kLongestToken = 128;

// Makes every missing folder of path (up to its last '/'), the last one 0700.
bool makeFolders(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    const std::string folder = path.substr(0, slash);
    for (size_t at = folder.find('/', 1); at != std::string::npos; at = folder.find('/', at + 1))
        if (mkdir(folder.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    if ((info.st_mode & 0777) != 0700 && info.st_uid == geteuid()) chmod(folder.c_str(), 0700);
    return true;
}

}  // namespace

RestoreTokenStore::RestoreTokenStore(std::string path) : path_(std::move(path)) {}

std::string RestoreTokenStore::defaultPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/vx-capture/restore-token";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/state/vx-capture/restore-token";
    return {};
}

bool RestoreTokenStore::plausible(const std::string& token) {
    if (token.empty() || token.size() > kLongestToken) return false;
    for (char c : token) {
        const bool fits = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                          (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!fits) return false;
    }
    return true;
}

std::string RestoreTokenStore::load() const {
    if (path_.empty()) return {};
    // Non-blocking, so that a FIFO or a device put there cannot stall the start; only a
    // regular file is read.
    const FileDescriptor file(
        open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!file.valid()) return {};
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    char bytes[kLongestToken + 2];
    const ssize_t got = read(file.get(), bytes, sizeof bytes);
    if (got <= 0) return {};
    std::string token(bytes, size_t(got));
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    return plausible(token) ? token : std::string();
}

bool RestoreTokenStore::save(const std::string& token) const {
    if (path_.empty() || !plausible(token) || !makeFolders(path_)) return false;
    std::string temporary = path_ + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const std::string line = token + "\n";
    bool written = fchmod(fd, 0600) == 0 &&
                   write(fd, line.data(), line.size()) == ssize_t(line.size()) && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (written && rename(temporary.c_str(), path_.c_str()) == 0) return true;
    unlink(temporary.c_str());
    return false;
}

void RestoreTokenStore::drop() const {
    if (!path_.empty()) unlink(path_.c_str());
}

}  // namespace vx
