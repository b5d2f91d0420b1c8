#include "platform/linux/wayland/screen_cast_portal.h"

#include <fcntl.h>

#include <cerrno>

#include <cstring>

#include <functional>
#include <optional>

#include "platform/linux/wayland/portal_request.h"
#include "platform/linux/wayland/restore_token_store.h"

namespace vx {

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr uint32_t kSourceMonitor = 1;
constexpr uint32_t kCursorHidden = 1;
constexpr uint32_t kCursorEmbedded = 2;
constexpr uint32_t kPersistUntilRevoked = 2;

Error failure(const std::string& what) { return Error{kScreenCastFailed, "desktop portal: " + what}; }

std::string seconds(uint64_t microseconds) { return std::to_string(microseconds / 1000000) + " s"; }

// Every call on the bus, the connection's own greeting included, gives up after
// timeout microseconds.
std::variant<SdBus, Error> openBus(uint64_t timeout) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) return failure(std::string("cannot reach the session bus (") + strerror(-r) + ")");
    SdBus opened(bus);
    sd_bus_set_method_call_timeout(bus, timeout);
    return opened;
}

// Whether a failed call was answered by the portal itself with a refusal of its
// arguments (a restore token it will not take), rather than failing on the way (no
// answer in time, a lost or refused connection).
bool refusedByPortal(SdBusError& error) {
    return error.isSet() &&
           (sd_bus_error_has_name(error.get(), "org.freedesktop.portal.Error.InvalidArgument") ||
            sd_bus_error_has_name(error.get(), "org.freedesktop.DBus.Error.InvalidArgs"));
}

// What a failed call says: a call that timed out names what did not answer.
Error callFailed(const char* member, int r, SdBusError& error, uint64_t timeout) {
    if (r == -ETIMEDOUT || sd_bus_error_has_name(error.get(), SD_BUS_ERROR_TIMEOUT) ||
        sd_bus_error_has_name(error.get(), SD_BUS_ERROR_NO_REPLY))
        return Error{kScreenCastFailed,
                     std::string("the desktop portal did not answer ScreenCast.") + member +
                         " within " + seconds(timeout)};
    return failure(std::string("ScreenCast.") + member +
                   " failed: " + (error.isSet() ? error.message() : strerror(-r)));
}

// 0 when the property cannot be read; timedOut (if given) tells whether that was
// because nobody answered in time.
uint32_t screenCastProperty(sd_bus* bus, const char* name, bool* timedOut = nullptr) {
    SdBusError error;
    uint32_t value = 0;
    const int r = sd_bus_get_property_trivial(bus, kPortal, kPortalPath, kScreenCast, name,
                                              error.get(), 'u', &value);
    if (timedOut)
        *timedOut = r == -ETIMEDOUT || sd_bus_error_has_name(error.get(), SD_BUS_ERROR_TIMEOUT) ||
                    sd_bus_error_has_name(error.get(), SD_BUS_ERROR_NO_REPLY);
    return r < 0 ? 0 : value;
}

// What one step of the conversation brought.
struct Answer {
    std::optional<Error> error;  // the call failed, or no answer came in time
    bool callRefused = false;    // the portal refused the call itself (a D-Bus error)
    uint32_t code = 2;
    PortalResults results;
};

using AppendArguments = std::function<int(sd_bus_message*)>;

class Conversation {
public:
    Conversation(sd_bus* bus, const ScreenCastPortal::Settings& settings)
        : bus_(bus), settings_(settings) {}

    // Runs every step; tokenRejected tells whether a retry without the token may help.
    std::variant<std::shared_ptr<PortalGrant>, Error> run(SdBus bus, const std::string& token,
                                                           bool& tokenRejected);

private:
    // Calls member with the arguments before the options, then the options that
    // `options` appends after handle_token, and waits for its Response.
    Answer ask(const char* member, const AppendArguments& leading, const AppendArguments& options,
               uint64_t timeout);

    sd_bus* bus_;
    const ScreenCastPortal::Settings& settings_;
};

Answer Conversation::ask(const char* member, const AppendArguments& leading,
                         const AppendArguments& options, uint64_t timeout) {
    Answer answer;
    PortalRequest request(bus_, member);
    sd_bus_message* raw = nullptr;
    if (!request.subscribe() ||
        sd_bus_message_new_method_call(bus_, &raw, kPortal, kPortalPath, kScreenCast, member) < 0) {
        answer.error = failure(std::string("cannot send ScreenCast.") + member);
        return answer;
    }
    SdBusMessage call(raw);
    int r = leading(call.get());
    if (r >= 0) r = sd_bus_message_open_container(call.get(), 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_append(call.get(), "{sv}", "handle_token", "s", request.token().c_str());
    if (r >= 0) r = options(call.get());
    if (r >= 0) r = sd_bus_message_close_container(call.get());
    if (r < 0) {
        answer.error = failure(std::string("cannot build ScreenCast.") + member);
        return answer;
    }
    SdBusError error;
    sd_bus_message* reply = nullptr;
    // The portal answers the call itself at once; only the Response may wait for the user.
    r = sd_bus_call(bus_, call.get(), settings_.callTimeout, error.get(), &reply);
    if (r < 0) {
        answer.callRefused = refusedByPortal(error);
        answer.error = callFailed(member, r, error, settings_.callTimeout);
        return answer;
    }
    SdBusMessage replied(reply);
    if (!request.wait(timeout)) {
        answer.error =
            Error{kScreenCastFailed, std::string("the desktop portal did not answer ScreenCast.") +
                                         member + " within " + seconds(timeout)};
        return answer;
    }
    answer.code = request.code();
    answer.results = request.results();
    return answer;
}

int noArguments(sd_bus_message*) { return 0; }

std::variant<std::shared_ptr<PortalGrant>, Error> Conversation::run(SdBus bus,
                                                                     const std::string& token,
                                                                     bool& tokenRejected) {
    tokenRejected = false;
    bool timedOut = false;
    const uint32_t version = screenCastProperty(bus_, "version", &timedOut);
    if (timedOut)
        return Error{kScreenCastFailed,
                     "the desktop portal did not answer on the session bus within " +
                         seconds(settings_.callTimeout)};
    const uint32_t sourceTypes = screenCastProperty(bus_, "AvailableSourceTypes");
    const uint32_t cursorModes = screenCastProperty(bus_, "AvailableCursorModes");
    if (!(sourceTypes & kSourceMonitor)) return failure("the ScreenCast interface offers no monitors");

    Answer created = ask("CreateSession", noArguments, [](sd_bus_message* m) {
        return sd_bus_message_append(m, "{sv}", "session_handle_token", "s", "vx_capture");
    }, settings_.callTimeout);
    if (created.error) return *created.error;
    if (created.code != 0 || created.results.sessionHandle.empty())
        return failure("ScreenCast.CreateSession failed (response " + std::to_string(created.code) + ")");
    const std::string session = created.results.sessionHandle;
    const AppendArguments withSession = [&session](sd_bus_message* m) {
        return sd_bus_message_append(m, "o", session.c_str());
    };

    uint32_t cursor = 0;
    if (settings_.showsCursor && (cursorModes & kCursorEmbedded)) cursor = kCursorEmbedded;
    else if (!settings_.showsCursor && (cursorModes & kCursorHidden)) cursor = kCursorHidden;
    const bool persists = version >= 4;
    const bool withToken = persists && !token.empty();
    Answer selected = ask("SelectSources", withSession, [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "{sv}", "types", "u", kSourceMonitor);
        if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", 0);
        if (r >= 0 && cursor) r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", cursor);
        if (r >= 0 && persists)
            r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", kPersistUntilRevoked);
        if (r >= 0 && withToken)
            r = sd_bus_message_append(m, "{sv}", "restore_token", "s", token.c_str());
        return r;
    }, settings_.chooserTimeout);
    if (selected.error) {
        tokenRejected = withToken && selected.callRefused;
        return *selected.error;
    }
    if (selected.code == 1)
        return Error{kUserDeclinedCapture, "screen capture was not allowed (the choice of a monitor was cancelled)"};
    if (selected.code != 0) {
        tokenRejected = withToken;
        return failure("ScreenCast.SelectSources failed (response " + std::to_string(selected.code) + ")");
    }

    Answer started = ask("Start", [&session](sd_bus_message* m) {
        return sd_bus_message_append(m, "os", session.c_str(), "");
    }, noArguments, settings_.chooserTimeout);
    if (started.error) return *started.error;
    if (started.code == 1)
        return Error{kUserDeclinedCapture, "screen capture was not allowed (the screen cast was cancelled)"};
    if (started.code != 0) {
        tokenRejected = withToken;
        return failure("ScreenCast.Start failed (response " + std::to_string(started.code) + ")");
    }
    if (started.results.streams.empty()) return failure("ScreenCast.Start granted no stream");

    RestoreTokenStore store(settings_.tokenPath);
    if (!started.results.restoreToken.empty()) store.save(started.results.restoreToken);
    else if (withToken) store.drop();

    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus_, &raw, kPortal, kPortalPath, kScreenCast,
                                       "OpenPipeWireRemote") < 0)
        return failure("cannot send ScreenCast.OpenPipeWireRemote");
    SdBusMessage call(raw);
    if (sd_bus_message_append(call.get(), "oa{sv}", session.c_str(), 0) < 0)
        return failure("cannot build ScreenCast.OpenPipeWireRemote");
    SdBusError error;
    sd_bus_message* reply = nullptr;
    if (const int r = sd_bus_call(bus_, call.get(), settings_.callTimeout, error.get(), &reply);
        r < 0)
        return callFailed("OpenPipeWireRemote", r, error, settings_.callTimeout);
    SdBusMessage replied(reply);
    int fd = -1;
    if (sd_bus_message_read(replied.get(), "h", &fd) < 0 || fd < 0)
        return failure("ScreenCast.OpenPipeWireRemote gave no descriptor");
    FileDescriptor pipewire(fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!pipewire.valid()) return failure("cannot keep the PipeWire descriptor");
    return std::make_shared<PortalGrant>(std::move(bus), session, started.results.streams,
                                         std::move(pipewire));
}

}  // namespace

bool ScreenCastPortal::available(std::optional<Error>* silent) {
    const uint64_t timeout = Settings{}.callTimeout;
    auto opened = openBus(timeout);
    if (std::holds_alternative<Error>(opened)) return false;
    bool timedOut = false;
    const uint32_t types =
        screenCastProperty(std::get<SdBus>(opened).get(), "AvailableSourceTypes", &timedOut);
    if (timedOut && silent)
        *silent = Error{
            kScreenCastFailed,
            "the desktop portal did not answer on the session bus within " + seconds(timeout)};
    return types & kSourceMonitor;
}

std::variant<std::shared_ptr<PortalGrant>, Error> ScreenCastPortal::request(const Settings& settings) {
    RestoreTokenStore store(settings.tokenPath);
    std::string token = store.load();
    for (;;) {
        auto opened = openBus(settings.callTimeout);
        if (auto* error = std::get_if<Error>(&opened)) return *error;
        SdBus bus = std::move(std::get<SdBus>(opened));
        sd_bus* raw = bus.get();
        Conversation conversation(raw, settings);
        bool tokenRejected = false;
        auto result = conversation.run(std::move(bus), token, tokenRejected);
        if (!tokenRejected) return result;
        // The portal would not take the stored grant: forget it and ask the user.
        store.drop();
        token.clear();
    }
}

}  // namespace vx
