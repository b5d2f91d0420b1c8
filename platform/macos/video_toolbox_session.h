#pragma once
// The compression session on macOS: a VTCompressionSession with per-frame output
// handlers. The boundary's keys and values become VideoToolbox's own constants
// and CoreFoundation values; the frame's image buffer is the capture's pixel
// buffer itself. encodeFrame() may be called from several threads; the session's
// handlers run on VideoToolbox's threads. Objective-C++ (ARC) only.
#include <VideoToolbox/VideoToolbox.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/compression_session.h"
#include "platform/keyframe_clock.h"
#include "platform/macos/cf_ref.h"

namespace vx {

class VideoToolboxSession : public CompressionSession {
public:
    // Takes over session (a reference the caller owns).
    explicit VideoToolboxSession(CFRef<VTCompressionSessionRef> session)
        : session_(std::move(session)) {}

    Status setProperty(const std::string& key, const PropertyValue& value) override;
    // Fails with kVTParameterErr when a value set earlier was beyond what
    // VideoToolbox holds (setProperty took it without a word; statusDescription
    // says which and the limit).
    Status prepareToEncodeFrames() override;
    std::string statusDescription(Status status) const override;
    Status encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime,
                       Time duration, const FrameOptions* options,
                       OutputHandler outputHandler) override;

private:
    CFRef<VTCompressionSessionRef> session_;
    // In low-latency rate control VideoToolbox keeps one key frame and then only
    // predicted frames, whatever key-frame interval it was given: the session
    // forces one itself when the clock says so. Guarded by lock_.
    mutable std::mutex lock_;
    int64_t framesPerSecond_ = 60;  // ExpectedFrameRate, once set
    std::optional<KeyframeClock> keyframes_;
    std::string refused_;  // the value beyond the framework's limit, if any
};

}  // namespace vx
