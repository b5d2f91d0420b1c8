#pragma once
// The H.264 encoder: one hardware compression session tuned for low latency.
// Frames go in through encode(); every encoded frame comes back, on the session's
// output thread, as one Annex-B access unit through onAccessUnit.
//
// Threads: encode() and requestKeyframe() may be called from any thread, at the
// same time; onAccessUnit runs on the session's output thread, one unit at a time.
// Order of use: create, set onAccessUnit, then encode / requestKeyframe freely.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/compression_session.h"
#include "platform/media_time.h"
#include "platform/image_buffer.h"

namespace vx {

class VideoEncoder : public std::enable_shared_from_this<VideoEncoder> {
public:
    // Creates and prepares the session: a low-latency hardware encoder if there is
    // one, else any hardware encoder (logging "low-latency encoder unavailable (…)").
    // Rejected properties are logged one line each and otherwise ignored.
    // Throws vx::Error, code = the platform's status, when no hardware encoder can
    // be had, when the session refuses to prepare for these settings (the description
    // is the session's account of what was refused), and when width, height or fps do
    // not fit 32 bits or bitrateKbps × 1000 or fps × 2 does not fit 64 bits.
    static std::shared_ptr<VideoEncoder> create(int64_t width, int64_t height, int64_t fps,
                                                int64_t bitrateKbps);

    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Submits one frame, lasting 1/fps, stamped with presentationTime as given. The
    // first frame and the first one after each requestKeyframe() are forced to be key
    // frames. Reports nothing; a request consumed by a frame the session refuses is lost.
    void encode(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime);

    // The next frame passed to encode() becomes a key frame. Any thread.
    void requestKeyframe();

    // Receives every non-empty access unit. Set once, before the first encode();
    // read without a lock afterwards. May be empty: units are then dropped.
    std::function<void(std::vector<uint8_t>)> onAccessUnit;

    // The handler that encode() gives the session with each frame: it converts a
    // successful output to an access unit and passes it to the encoder's
    // onAccessUnit. It holds the encoder weakly: output arriving after the encoder is
    // gone is dropped, as are failed outputs, missing samples and empty units.
    static OutputHandler outputHandler(std::weak_ptr<VideoEncoder> encoder);

private:
    explicit VideoEncoder(int64_t fps);

    std::shared_ptr<CompressionSession> session;  // set once, during create()
    const int64_t fps;
    std::mutex lock;            // guards forceKeyframe only
    bool forceKeyframe = true;
};

}  // namespace vx
