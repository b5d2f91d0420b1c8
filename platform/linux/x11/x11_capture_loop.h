#pragma once
// The capture thread's work: wait for the X server to report changes, and at most
// once per frame interval grab the screen area (shared memory), draw the cursor in,
// convert into a pooled NV12 picture and deliver it as a complete frame.
//
// A still screen costs no grab and no conversion: nothing is delivered until the
// server reports damage inside the area or the cursor moves there. When every pooled
// picture is still held downstream (frame pump, encoder), the frame is dropped and
// the change stays pending for the next interval; a picture in use is never written.
//
// run() is called once, on the capture thread; stop() from any thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <variant>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/linux/capture_source.h"
#include "platform/linux/convert/nv12_converter.h"
#include "platform/nv12/image_buffer_pool.h"

namespace vx {

class X11Connection;
class X11ShmImage;
class X11DamageWatch;
class X11Cursor;

class X11CaptureLoop {
public:
    struct Settings {
        PixelRect screenArea;    // root-window coordinates, inside the screen
        int width = 0;           // output picture, even
        int height = 0;          // even
        PixelRect destination;   // where the screen area goes in the picture
        uint64_t frameInterval = 0;  // nanoseconds
        bool showsCursor = true;
        int pictures = 4;        // pool size
    };

    static std::variant<std::unique_ptr<X11CaptureLoop>, Error> create(
        std::unique_ptr<X11Connection> connection, const Settings& settings);
    ~X11CaptureLoop();

    // Delivers frames until stop(), or until the connection to the server is lost:
    // then stopped is called once and run() returns.
    void run(const CaptureSource::Deliver& deliver, const CaptureSource::Stopped& stopped);
    void stop();

private:
    X11CaptureLoop(std::unique_ptr<X11Connection> connection, const Settings& settings);
    void takeEvents();
    bool captureFrame(const CaptureSource::Deliver& deliver);
    void wait(int64_t nanoseconds);  // < 0: until an event or stop()

    Settings settings_;
    std::unique_ptr<X11Connection> connection_;  // outlives everything below
    std::unique_ptr<X11ShmImage> image_;
    std::unique_ptr<X11DamageWatch> damage_;
    std::unique_ptr<X11Cursor> cursor_;  // null when the cursor is not shown
    Nv12Converter converter_;
    ImageBufferPool pool_;
    FileDescriptor wakeFd_;  // wakes the loop to stop
    std::atomic<bool> stopping_{false};
};

}  // namespace vx
