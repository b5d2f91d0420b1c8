#include "platform/linux/wayland/portal_results.h"

#include <cstring>

namespace vx {

namespace {

// A variant holding a string or an object path.
bool readText(sd_bus_message* message, std::string& out) {
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(message, &type, &contents) < 0 || type != 'v' || !contents)
        return false;
    if (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)
        return sd_bus_message_skip(message, "v") >= 0;
    if (sd_bus_message_enter_container(message, 'v', contents) < 0) return false;
    const char* text = nullptr;
    if (sd_bus_message_read_basic(message, contents[0], &text) < 0) return false;
    out = text ? text : "";
    return sd_bus_message_exit_container(message) >= 0;
}

bool readStreamProperties(sd_bus_message* message, PortalStream& stream) {
    if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
    int entered;
    while ((entered = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(message, "s", &key) < 0) return false;
        int r;
        if (std::strcmp(key, "size") == 0)
            r = sd_bus_message_read(message, "v", "(ii)", &stream.width, &stream.height);
        else if (std::strcmp(key, "position") == 0)
            r = sd_bus_message_read(message, "v", "(ii)", &stream.x, &stream.y);
        else
            r = sd_bus_message_skip(message, "v");
        if (r < 0 || sd_bus_message_exit_container(message) < 0) return false;
    }
    return entered == 0 && sd_bus_message_exit_container(message) >= 0;
}

bool readStreams(sd_bus_message* message, std::vector<PortalStream>& streams) {
    if (sd_bus_message_enter_container(message, 'v', "a(ua{sv})") < 0) return false;
    if (sd_bus_message_enter_container(message, 'a', "(ua{sv})") < 0) return false;
    int entered;
    while ((entered = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
        PortalStream stream;
        if (sd_bus_message_read(message, "u", &stream.node) < 0) return false;
        if (!readStreamProperties(message, stream)) return false;
        if (sd_bus_message_exit_container(message) < 0) return false;
        streams.push_back(stream);
    }
    return entered == 0 && sd_bus_message_exit_container(message) >= 0 &&
           sd_bus_message_exit_container(message) >= 0;
}

}  // namespace

bool readPortalResults(sd_bus_message* message, PortalResults& results) {
    if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return false;
    int entered;
    while ((entered = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(message, "s", &key) < 0) return false;
        bool read;
        if (std::strcmp(key, "session_handle") == 0) read = readText(message, results.sessionHandle);
        else if (std::strcmp(key, "restore_token") == 0) read = readText(message, results.restoreToken);
        else if (std::strcmp(key, "streams") == 0) read = readStreams(message, results.streams);
        else read = sd_bus_message_skip(message, "v") >= 0;
        if (!read || sd_bus_message_exit_container(message) < 0) return false;
    }
    return entered == 0 && sd_bus_message_exit_container(message) >= 0;
}

}  // namespace vx
