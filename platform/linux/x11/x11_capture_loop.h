#pragma once
// The capture thread's work: wait for the X server to report changes, and at most
// once per frame interval bring a shared-memory copy of the screen area up to date
// where it changed, draw the cursor in, convert what changed into a pooled NV12
// picture and deliver it as a complete frame.
//
// Only what changed is read: the damage the server reports, and the cursor's old and
// new places when it moved or changed shape. A still screen costs no grab and no
// conversion: nothing is delivered until something inside the area changes. A
// server without DAMAGE is read whole at the frame rate instead, and a frame is
// delivered when the rows compared differ.
//
// While frames are not wanted (nobody uses them), nothing is read: the server keeps
// the damage, the loop only drains its events. Once they are wanted again, the next
// frame is a fresh read of the whole area, at once.
//
// When every pooled picture is still held downstream (frame pump, encoder), the
// frame is dropped and the change stays pending for the next interval; a picture in
// use is never written.
//
// When the screen changes size or its monitors are laid out anew (RandR), the
// monitor's rectangle is read again, and a new rectangle gets a new shared-memory
// image, damage area and scaling: the new screen is fitted into the same picture
// size with bars, read whole, and its first frame is marked
// kStreamFrameInfoScreenResized.
//
// run() is called once, on the capture thread; stop() and setFramesWanted() from
// any thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/file_descriptor.h"
#include "platform/linux/capture_source.h"
#include "platform/linux/convert/picture_updater.h"
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
        int monitor = -1;        // the RandR monitor followed on a change; -1: the whole screen
    };

    static std::variant<std::unique_ptr<X11CaptureLoop>, Error> create(
        std::unique_ptr<X11Connection> connection, const Settings& settings);
    ~X11CaptureLoop();

    // Delivers frames until stop(), or until the connection to the server is lost:
    // then stopped is called once and run() returns.
    void run(const CaptureSource::Deliver& deliver, const CaptureSource::Stopped& stopped);
    void stop();
    void setFramesWanted(bool wanted);

private:
    X11CaptureLoop(std::unique_ptr<X11Connection> connection, const Settings& settings);
    void takeEvents();
    // At a frame time (now, on the steady clock): what changed since the last frame,
    // into pending_.
    void collectChanges(uint64_t now);
    void compareRows();  // without DAMAGE
    bool captureFrame(const CaptureSource::Deliver& deliver);
    bool fetch(const PixelRect& part);
    // After a RandR notice: the monitor's rectangle read again, and what depends on
    // it made anew when it changed.
    void followLayout();
    PixelRect currentArea();
    void wait(int64_t nanoseconds);  // < 0: until an event, stop() or a change of wish
    void wake();

    Settings settings_;
    std::unique_ptr<X11Connection> connection_;  // outlives everything below
    std::unique_ptr<X11ShmImage> image_;
    std::unique_ptr<X11DamageWatch> damage_;
    std::unique_ptr<X11Cursor> cursor_;  // null when the cursor is not shown
    PictureUpdater updater_;
    ImageBufferPool pool_;
    FileDescriptor wakeFd_;  // wakes the loop to stop or to follow the wish
    std::atomic<bool> stopping_{false};
    std::atomic<bool> wanted_{true};
    bool refreshAll_ = true;            // the next frame reads the whole area
    int randrEventBase_ = -1;           // -1: no RandR notices
    bool layoutChanged_ = false;        // a RandR notice came
    bool resized_ = false;              // the next frame is the first of a new area
    std::vector<PixelRect> pending_;    // changed parts (area coordinates) not yet delivered
    std::vector<uint8_t> previousRows_;  // without DAMAGE: the last whole read
};

}  // namespace vx
