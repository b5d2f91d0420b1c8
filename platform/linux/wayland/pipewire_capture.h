#pragma once
// The PipeWire side of a screen cast: a stream of one granted node, read on a
// PipeWire thread loop ("vx-capture.wayland") over the portal's connection.
//
// Buffers that bring a change (damage metadata, see frame_damage.h) become
// complete frames: at most one per frame interval, converted into a pooled NV12
// picture. A change that comes too early, or while every pooled picture is still
// held downstream, keeps its buffer until it can be converted; a newer change
// replaces it. A still screen brings no buffers and costs nothing. While frames
// are not wanted nothing is converted: the newest change keeps its buffer (the one
// before goes back to the stream), and is converted as soon as frames are wanted
// again, so that picture shows the screen as it is even when it no longer moves.
//
// start() returns once the stream runs (linked to the node, streaming), or with an
// error when it fails or does not run within the deadline (no session manager
// links it). The first frame usually follows at once; a compositor that sends
// frames only for damage may send the first one with the first change. Afterwards the end of the
// node (the compositor or the portal ended the cast), a stream error or the loss of the PipeWire
// connection calls stopped once, on the loop thread; samples also come on that thread. Destruction
// stops the loop thread first.
//
// The stream may change its format while it runs (the monitor changed size):
// PipeWire then takes back every buffer, and the next frame fits the new picture
// into the same destination (or, for a size other than the first one, into the
// whole picture with black bars, keeping its aspect ratio); that frame carries
// kStreamFrameInfoScreenResized, so the encoder makes it a key frame. Pictures are
// numbered across such changes.
#include <spa/utils/hook.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/linux/capture_source.h"
#include "platform/linux/convert/nv12_converter.h"
#include "platform/linux/wayland/pipewire_handles.h"
#include "platform/nv12/image_buffer_pool.h"

namespace vx {

class ScreenCastPicture;

class PipeWireCapture {
public:
    struct Settings {
        uint32_t node = 0;
        int width = 0;            // output picture, even
        int height = 0;           // even
        PixelRect destination;    // where the screen goes in the picture
        uint64_t frameInterval = 0;  // nanoseconds
        int pictures = 4;         // pool size
        uint64_t startTimeout = 5000000000;  // nanoseconds
        bool framesWanted = true;
    };

    // pipewire: the portal's PipeWire connection.
    static std::variant<std::unique_ptr<PipeWireCapture>, Error> start(
        const FileDescriptor& pipewire, const Settings& settings, CaptureSource::Deliver deliver,
        CaptureSource::Stopped stopped);
    ~PipeWireCapture();

    // Any thread; takes no lock, so it may be called under locks that the sample
    // callback takes.
    void setFramesWanted(bool wanted);

private:
    enum class Phase { starting, running, abandoned };

    PipeWireCapture(const Settings& settings, CaptureSource::Deliver deliver,
                    CaptureSource::Stopped stopped);
    std::optional<Error> connect(const FileDescriptor& pipewire);
    std::optional<Error> awaitStreaming();

    // Loop thread.
    void formatChanged(const spa_pod* format);
    void takeBuffers();
    void noteDamage(const spa_buffer& buffer);
    PixelRect areaFor(int sourceWidth, int sourceHeight);
    void deliverPending();
    void armTimer(uint64_t nanoseconds);
    void fail(Error error);
    void markStarted();

    static void onCoreError(void* self, uint32_t id, int seq, int res, const char* message);
    static void onGlobalRemove(void* self, uint32_t id);
    static void onStateChanged(void* self, pw_stream_state old, pw_stream_state state, const char* error);
    static void onParamChanged(void* self, uint32_t id, const spa_pod* param);
    static void onRemoveBuffer(void* self, pw_buffer* buffer);
    static void onProcess(void* self);
    static void onTimer(void* self, uint64_t expirations);
    static void onWanted(void* self, uint64_t count);

    Settings settings_;
    CaptureSource::Deliver deliver_;
    CaptureSource::Stopped stopped_;
    ImageBufferPool pool_;

    // Declared in the order of making; destroyed in reverse, after the loop stopped.
    PwThreadLoop loop_;
    PwContext context_;
    PwCore core_;
    PwRegistry registry_;
    PwStream stream_;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_hook streamListener_{};
    spa_source* timer_ = nullptr;
    spa_source* wake_ = nullptr;  // signalled when frames are wanted again

    // Loop thread only.
    std::unique_ptr<ScreenCastPicture> picture_;
    pw_buffer* held_ = nullptr;  // the newest change not yet delivered
    // What changed since the last frame delivered, in the stream's pixels; everything_
    // when that is not known (no damage metadata, too many parts, a new format).
    std::vector<PixelRect> damage_;
    bool everything_ = true;
    uint64_t numbered_ = 0;  // the last picture number of an earlier format
    int firstWidth_ = 0;     // the size of the first format; 0 before it
    int firstHeight_ = 0;
    bool resized_ = false;       // the next frame is the first of a new size
    uint64_t next_ = 0;          // the earliest time of the next frame
    bool connected_ = false;

    std::atomic<bool> wanted_;

    std::mutex phaseMutex_;  // guards the three below
    std::condition_variable phaseChanged_;
    Phase phase_ = Phase::starting;
    bool streaming_ = false;  // the stream runs (or a frame came)
    std::optional<Error> failure_;
};

}  // namespace vx
