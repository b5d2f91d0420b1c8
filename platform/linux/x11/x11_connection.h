#pragma once
// One connection to the X server at $DISPLAY, used by one thread at a time.
//
// Xlib's process-wide handlers are replaced, once, by quiet ones: a protocol error
// is noted for the thread that made the failing request (takeProtocolError()) instead
// of ending the process, and a broken connection marks this connection lost()
// instead of calling exit(). After lost() no further request may be made.
#include <atomic>
#include <memory>
#include <string>
#include <variant>

#include "platform/error.h"

struct _XDisplay;

namespace vx {

class X11Connection {
public:
    // Error code -1, description naming the display: cannot open X display ":99".
    static std::variant<std::unique_ptr<X11Connection>, Error> open();
    ~X11Connection();  // closes the connection unless it was lost

    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    _XDisplay* display() const { return display_; }
    const std::string& name() const { return name_; }
    int fileDescriptor() const;
    bool lost() const { return lost_.load(); }

    // Looks at the socket without Xlib: a server that has closed the connection marks it
    // lost() here, before an Xlib call runs into the end (Xlib's own path for that
    // leaves the display's lock in disorder). True while the connection is usable.
    bool checkAlive();

    // The X error code of the last failed request of this thread since the previous
    // call, or 0.
    static int takeProtocolError();

private:
    X11Connection(_XDisplay* display, std::string name);
    static void onConnectionLost(_XDisplay* display, void* connection);

    _XDisplay* display_;
    std::string name_;
    std::atomic<bool> lost_{false};
};

}  // namespace vx
