#pragma once
// The stand-in's compression session. Every frame becomes one small encoded
// sample on the session's own queue: a key frame (the first frame, or one with
// ForceKeyFrame) carries the parameter sets in its format description and
// NotSync false; any other frame NotSync true. The NAL unit's bytes carry the
// frame's luma value, so a test can tell which picture was encoded.
#include <atomic>
#include <memory>

#include "platform/compression_session.h"
#include "platform/serial_queue.h"

namespace vx::sim {

class SimCompressionSession : public CompressionSession {
public:
    SimCompressionSession();

    Status setProperty(const std::string& key, const PropertyValue& value) override;
    Status prepareToEncodeFrames() override;
    std::string statusDescription(Status status) const override;
    Status encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime,
                       Time duration, const FrameOptions* options,
                       OutputHandler outputHandler) override;

    // What a key frame's format description holds.
    static const std::vector<uint8_t>& sequenceParameterSet();
    static const std::vector<uint8_t>& pictureParameterSet();

private:
    std::shared_ptr<SerialQueue> output_;
    bool firstFrame_ = true;  // only touched on output_
};

}  // namespace vx::sim
