#pragma once
// The H.264 compression session on libx264, in zero-latency mode.
//
// Properties are collected until the encoder opens (prepareToEncodeFrames(), or the
// first frame); keys it does not know are refused with a non-zero status, and so is
// any property after the encoder is open. Every frame goes to the session's own
// serial queue "vx-capture.encoder", where x264 encodes it and its handler is called
// exactly once, in submission order. encodeFrame() may be called from several
// threads at once; it queues the frame and holds the pixel buffer until x264 has
// copied it. At most kMaxPendingFrames wait or encode at a time: beyond that,
// encodeFrame() blocks until one is done. So when the handler waits (in a write to
// a reader that stopped reading), the back-pressure reaches the callers instead of
// piling up frames that would come out later as a stale burst.
//
// Both encoder specifications the program asks for (low-latency rate control with
// hardware, or hardware alone) are accepted: there is no H.264 encoder hardware to
// ask for here, and x264's zero-latency mode is what gives the low latency.
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/compression_session.h"
#include "platform/linux/x264/x264_settings.h"
#include "platform/serial_queue.h"

namespace vx {

class X264Encoder;

class X264Session : public CompressionSession {
public:
    static constexpr int kMaxPendingFrames = 2;

    X264Session(int32_t width, int32_t height);
    ~X264Session() override;

    Status setProperty(const std::string& key, const PropertyValue& value) override;
    Status prepareToEncodeFrames() override;
    Status encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime,
                       Time duration, const FrameOptions* options,
                       OutputHandler outputHandler) override;
    // For the status the opening failed with: the limit passed, when that was why.
    std::string statusDescription(Status status) const override;

private:
    // What the queue's work items share with the session.
    struct State {
        int32_t width;
        int32_t height;
        std::mutex mutex;  // guards settings, opened and pending
        std::condition_variable frameDone;
        int pending = 0;   // frames queued and not yet handed to their handler
        X264Settings settings;
        bool opened = false;
        Status openStatus = 0;
        std::string openRefusal;  // why the opening failed, when a limit was passed
        std::unique_ptr<X264Encoder> encoder;  // only on the queue, once opened
        Status open();                         // on the queue
        ~State();
    };

    std::shared_ptr<State> state_;
    std::shared_ptr<SerialQueue> queue_;
};

}  // namespace vx
