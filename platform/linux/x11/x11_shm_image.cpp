#include "platform/linux/x11/x11_shm_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <string>

#include "platform/linux/x11/x11_connection.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

namespace vx {

// The image header, the segment and whether the server has it attached; released
// in the reverse order.
struct X11ShmImage::Segment {
    const X11Connection* connection = nullptr;
    XShmSegmentInfo info{};
    XImage* image = nullptr;
    bool attached = false;

    Segment() { info.shmid = -1; info.shmaddr = reinterpret_cast<char*>(-1); }
    ~Segment() {
        if (attached && !connection->lost()) {
            XShmDetach(connection->display(), &info);
            XSync(connection->display(), False);
        }
        if (image) {
            image->data = nullptr;  // the segment is not Xlib's to free
            XDestroyImage(image);
        }
        if (info.shmaddr != reinterpret_cast<char*>(-1)) shmdt(info.shmaddr);
        if (info.shmid >= 0) shmctl(info.shmid, IPC_RMID, nullptr);
    }
};

std::variant<std::unique_ptr<X11ShmImage>, Error> X11ShmImage::create(
    const X11Connection& connection, int width, int height) {
    ::Display* display = connection.display();
    if (!XShmQueryExtension(display))
        return Error{kDisplayUnsupported, "the X server offers no shared memory (MIT-SHM)"};
    const int screen = DefaultScreen(display);
    Visual* visual = DefaultVisual(display, screen);
    const int depth = DefaultDepth(display, screen);
    if ((depth != 24 && depth != 32) || visual->red_mask != 0xff0000 ||
        visual->green_mask != 0xff00 || visual->blue_mask != 0xff)
        return Error{kDisplayUnsupported, "the X screen is not 24-bit true colour (depth " + std::to_string(depth) + ")"};

    std::unique_ptr<X11ShmImage> picture(new X11ShmImage(connection, width, height));
    Segment& s = *picture->segment_;
    s.connection = &connection;
    s.image = XShmCreateImage(display, visual, depth, ZPixmap, nullptr, &s.info, width, height);
    if (!s.image || s.image->bits_per_pixel != 32)
        return Error{kDisplayUnsupported, "cannot make a shared-memory image of " + std::to_string(width) + "x" +
                             std::to_string(height)};
    s.info.shmid = shmget(IPC_PRIVATE, size_t(s.image->bytes_per_line) * height, IPC_CREAT | 0600);
    if (s.info.shmid < 0) return Error{kDisplayUnsupported, "cannot make a shared-memory segment for the screen"};
    s.info.shmaddr = s.image->data = static_cast<char*>(shmat(s.info.shmid, nullptr, 0));
    if (s.info.shmaddr == reinterpret_cast<char*>(-1)) {
        s.image->data = nullptr;
        return Error{kDisplayUnsupported, "cannot map the shared-memory segment for the screen"};
    }
    s.info.readOnly = False;
    X11Connection::takeProtocolError();
    s.attached = XShmAttach(display, &s.info);
    XSync(display, False);
    if (!s.attached || X11Connection::takeProtocolError() != 0) {
        s.attached = false;
        return Error{kDisplayUnsupported, "the X server cannot attach shared memory (is it on another machine?)"};
    }
    // Both sides hold it now; it goes away with the last of them.
    shmctl(s.info.shmid, IPC_RMID, nullptr);
    s.info.shmid = -1;
    return picture;
}

X11ShmImage::X11ShmImage(const X11Connection& connection, int width, int height)
    : connection_(connection), width_(width), height_(height), segment_(std::make_unique<Segment>()) {}

X11ShmImage::~X11ShmImage() = default;

bool X11ShmImage::grab(int x, int y) {
    ::Display* display = connection_.display();
    return XShmGetImage(display, DefaultRootWindow(display), segment_->image, x, y, AllPlanes);
}

uint8_t* X11ShmImage::data() { return reinterpret_cast<uint8_t*>(segment_->image->data); }

size_t X11ShmImage::stride() const { return size_t(segment_->image->bytes_per_line); }

}  // namespace vx
