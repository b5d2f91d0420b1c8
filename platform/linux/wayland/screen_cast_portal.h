#pragma once
// The conversation with the desktop portal's ScreenCast interface (session bus,
// org.freedesktop.portal.Desktop): CreateSession, SelectSources (one monitor, the
// cursor drawn in where offered, the grant kept with persist_mode 2 and the
// restore token of the last grant), Start, OpenPipeWireRemote. Each step answers
// through its Request's Response signal and has a deadline: every call and the
// property reads must be answered within callTimeout, and so must CreateSession's
// Response; the Responses of SelectSources and Start, where the portal may show its
// chooser, get chooserTimeout. A step that is not answered in time fails the start
// with "the desktop portal did not answer ... within N s".
//
// A restore token the portal itself rejects (a refusal of the call's arguments, or a
// failure response to a request that carried it) is dropped and the user is asked
// again; a time-out or a failure of the bus on the way keeps it. The token of each
// new grant replaces the stored one. Runs on the calling thread and
// blocks until the grant or an error (the user may take a while to choose).
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/error.h"
#include "platform/linux/wayland/portal_grant.h"

namespace vx {

class ScreenCastPortal {
public:
    struct Settings {
        bool showsCursor = true;
        std::string tokenPath;               // empty: no token kept
        uint64_t callTimeout = 10000000;     // microseconds, steps that ask nobody
        uint64_t chooserTimeout = 90000000;  // microseconds, steps where the user may choose
    };

    // True when the session bus has the portal with a ScreenCast interface that
    // offers monitors (probing may start the portal through bus activation). When
    // false because the portal did not answer within the call deadline, silent (if
    // given) receives the error that says so.
    static bool available(std::optional<Error>* silent = nullptr);

    // Refusal by the user: kUserDeclinedCapture. Anything else that fails:
    // kScreenCastFailed and what failed.
    static std::variant<std::shared_ptr<PortalGrant>, Error> request(const Settings& settings);
};

}  // namespace vx
