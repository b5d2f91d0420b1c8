#pragma once
// The screen-cast portal's restore token of the last grant, kept per user so that
// the user is asked once: $XDG_STATE_HOME/vx-capture/restore-token (by default
// ~/.local/state/vx-capture/restore-token). The folder is made private (0700), the
// file is written whole under a temporary name and renamed (0600), so a reader sees
// the old token or the new one, never a part.
//
// Plain file operations on the calling thread; every failure is silent (no token
// means the user is asked again).
#include <string>

namespace vx {

class RestoreTokenStore {
public:
    // The file at path (its folder is made on save).
    explicit RestoreTokenStore(std::string path);

    // The path from the environment; empty when neither XDG_STATE_HOME nor HOME is set.
    static std::string defaultPath();

    // The stored token, or empty when none is stored, the path names anything but a
    // regular file (never waited on: a FIFO there is not opened for long), or the file
    // holds something that cannot be a token (anything but 1 to 128 letters, digits,
    // '-' and '_').
    std::string load() const;
    // False when the token could not be written (the old one, if any, stays).
    bool save(const std::string& token) const;
    void drop() const;

    static bool plausible(const std::string& token);

private:
    std::string path_;
};

}  // namespace vx
