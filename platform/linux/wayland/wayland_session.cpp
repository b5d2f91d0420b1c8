#include "platform/linux/wayland/wayland_session.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace vx {

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

bool isWaylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return set("WAYLAND_DISPLAY") || (type && std::strcmp(type, "wayland") == 0);
}

bool hasX11Display() { return set("DISPLAY"); }

bool processCapturesAudio() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string line((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t first = line.find('\0');
    if (first == std::string::npos) return false;
    const size_t end = line.find('\0', first + 1);
    return line.substr(first + 1, end == std::string::npos ? end : end - first - 1) == "audio";
}

}  // namespace vx
