#pragma once
// The compression session on macOS: a VTCompressionSession with per-frame output
// handlers. The boundary's keys and values become VideoToolbox's own constants
// and CoreFoundation values; the frame's image buffer is the capture's pixel
// buffer itself. encodeFrame() may be called from several threads; the session's
// handlers run on VideoToolbox's threads. Objective-C++ (ARC) only.
#include <VideoToolbox/VideoToolbox.h>

#include "platform/compression_session.h"
#include "platform/macos/cf_ref.h"

namespace vx {

class VideoToolboxSession : public CompressionSession {
public:
    // Takes over session (a reference the caller owns).
    explicit VideoToolboxSession(CFRef<VTCompressionSessionRef> session)
        : session_(std::move(session)) {}

    Status setProperty(const std::string& key, const PropertyValue& value) override;
    Status prepareToEncodeFrames() override;
    Status encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime,
                       Time duration, const FrameOptions* options,
                       OutputHandler outputHandler) override;

private:
    CFRef<VTCompressionSessionRef> session_;
};

}  // namespace vx
