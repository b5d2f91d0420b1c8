#pragma once
// The image buffer of the macOS backend: the capture framework's own pixel buffer
// (CVPixelBufferRef), retained for as long as this object lives. The frame the
// stream delivers is this buffer, and the compression session is handed the very
// same buffer: it is never copied. Immutable; any thread.
#include <CoreVideo/CoreVideo.h>

#include "platform/macos/cf_ref.h"

namespace vx {

class ImageBuffer {
public:
    // Takes a reference of its own to pixelBuffer, which must not be null.
    explicit ImageBuffer(CVPixelBufferRef pixelBuffer)
        : pixelBuffer_(CFRef<CVPixelBufferRef>::retain(pixelBuffer)) {}

    CVPixelBufferRef pixelBuffer() const { return pixelBuffer_.get(); }

private:
    CFRef<CVPixelBufferRef> pixelBuffer_;
};

}  // namespace vx
