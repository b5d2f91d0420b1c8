#include "platform/linux/x11/x11_shm_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
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
    // The copy, then the scratch picture.
    s.info.shmid = shmget(IPC_PRIVATE, 2 * size_t(s.image->bytes_per_line) * height, IPC_CREAT | 0600);
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

bool X11ShmImage::read(int x, int y, int width, int height, uint8_t* into) {
    // Xlib reads only the size, the format and where the data lies in the segment, so one
    // image header serves every shape.
    XImage* image = segment_->image;
    const int wholeWidth = image->width, wholeHeight = image->height;
    const int wholeStride = image->bytes_per_line;
    char* const base = image->data;
    image->width = width;
    image->height = height;
    image->bytes_per_line = width * 4;
    image->data = reinterpret_cast<char*>(into);
    ::Display* display = connection_.display();
    const bool done = XShmGetImage(display, DefaultRootWindow(display), image, x, y, AllPlanes);
    image->width = wholeWidth;
    image->height = wholeHeight;
    image->bytes_per_line = wholeStride;
    image->data = base;
    return done;
}

bool X11ShmImage::grab(int x, int y, const PixelRect& part) {
    const PixelRect r = intersection(part, PixelRect{0, 0, width_, height_});
    if (r.empty()) return true;
    uint8_t* target = data() + stride() * size_t(r.y) + 4 * size_t(r.x);
    if (r.width == width_) return read(x + r.x, y + r.y, r.width, r.height, target);
    uint8_t* landing = data() + stride() * size_t(height_);
    if (!read(x + r.x, y + r.y, r.width, r.height, landing)) return false;
    const size_t rowBytes = 4 * size_t(r.width);
    for (int row = 0; row < r.height; ++row)
        std::memcpy(target + stride() * size_t(row), landing + rowBytes * size_t(row), rowBytes);
    return true;
}

bool X11ShmImage::grabScratch(int x, int y) {
    return read(x, y, width_, height_, data() + stride() * size_t(height_));
}

const uint8_t* X11ShmImage::scratch() const {
    return reinterpret_cast<const uint8_t*>(segment_->image->data) + stride() * size_t(height_);
}

uint8_t* X11ShmImage::data() { return reinterpret_cast<uint8_t*>(segment_->image->data); }

size_t X11ShmImage::stride() const { return size_t(segment_->image->bytes_per_line); }

}  // namespace vx
