#include "platform/linux/x11/x11_connection.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <X11/Xlib.h>

namespace vx {

namespace {

thread_local int lastProtocolError = 0;

std::array<::Display*, 8> abandoned{};
std::atomic<size_t> abandonedCount{0};

int noteProtocolError(::Display*, XErrorEvent* event) {
    lastProtocolError = event->error_code;
    return 0;
}

// The per-connection exit handler does the work; this one only keeps Xlib quiet.
int ignoreConnectionLoss(::Display*) { return 0; }

void installQuietHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(noteProtocolError);
        XSetIOErrorHandler(ignoreConnectionLoss);
    });
}

}  // namespace

std::variant<std::unique_ptr<X11Connection>, Error> X11Connection::open() {
    installQuietHandlers();
    const char* variable = std::getenv("DISPLAY");
    std::string name = variable ? variable : "";
    if (name.empty()) return Error{kDisplayConnectionFailed, "cannot open X display (DISPLAY is not set)"};
    ::Display* display = XOpenDisplay(name.c_str());
    if (!display) return Error{kDisplayConnectionFailed, "cannot open X display \"" + name + "\""};
    std::unique_ptr<X11Connection> connection(new X11Connection(display, std::move(name)));
    XSetIOErrorExitHandler(display, &X11Connection::onConnectionLost, connection.get());
    return connection;
}

X11Connection::X11Connection(_XDisplay* display, std::string name)
    : display_(display), name_(std::move(name)) {}

X11Connection::~X11Connection() {
    if (!lost_) {
        XCloseDisplay(display_);
        return;
    }
    // Xlib cannot free a display whose connection broke: closing it waits for ever on
    // the dead display's lock. The few that a process meets stay referenced here.
    size_t slot = abandonedCount.fetch_add(1);
    if (slot < abandoned.size()) abandoned[slot] = display_;
}

int X11Connection::fileDescriptor() const { return ConnectionNumber(display_); }

bool X11Connection::checkAlive() {
    if (lost_) return false;
    char byte;
    ssize_t peeked = recv(fileDescriptor(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        lost_ = true;
    return !lost_;
}

void X11Connection::onConnectionLost(_XDisplay*, void* connection) {
    static_cast<X11Connection*>(connection)->lost_ = true;
}

int X11Connection::takeProtocolError() {
    int error = lastProtocolError;
    lastProtocolError = 0;
    return error;
}

}  // namespace vx
