#include "platform/sim/sim_compression_session.h"

#include <chrono>
#include <thread>

#include "platform/sim/sim_picture.h"
#include "platform/sim/sim_state.h"

namespace vx {

namespace {

std::string text(const PropertyValue& value) {
    if (auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
    if (auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
    return std::get<std::string>(value);
}

std::string timeText(Time t) { return std::to_string(t.value) + "/" + std::to_string(t.timescale); }

}  // namespace

Status CompressionSession::create(int32_t width, int32_t height, uint32_t codecType,
                                  const EncoderSpecification& specification,
                                  std::shared_ptr<CompressionSession>* session) {
    std::string keys;
    for (const auto& [key, value] : specification)
        if (value) keys += (keys.empty() ? "" : ",") + key;
    int attempt = 0;
    for (const auto& line : sim::record())
        if (line.rfind("session create", 0) == 0) ++attempt;
    sim::note("session create width=" + std::to_string(width) + " height=" +
              std::to_string(height) + " codec=" + (codecType == kCodecTypeH264 ? "avc1" : "?") +
              " sampleSpec=" + keys);
    auto script = sim::currentScript();
    Status status = attempt < int(script->createStatuses.size()) ? script->createStatuses[attempt] : 0;
    if (status == 0 && !script->createReturnsNoSession)
        *session = std::make_shared<sim::SimCompressionSession>();
    return status;
}

namespace sim {

SimCompressionSession::SimCompressionSession() : output_(SerialQueue::create("sim.encoder")) {}

Status SimCompressionSession::setProperty(const std::string& key, const PropertyValue& value) {
    note("session property " + key + "=" + text(value));
    auto script = currentScript();
    auto found = script->propertyStatuses.find(key);
    return found == script->propertyStatuses.end() ? 0 : found->second;
}

Status SimCompressionSession::prepareToEncodeFrames() {
    note("session prepare");
    return currentScript()->prepareStatus;
}

std::string SimCompressionSession::statusDescription(Status status) const {
    auto script = currentScript();
    return status == script->prepareStatus ? script->prepareDescription : std::string();
}

const std::vector<uint8_t>& SimCompressionSession::sequenceParameterSet() {
    // Never destroyed: output threads may still read it while the process ends.
    static const auto* sps = new std::vector<uint8_t>{0x67, 0x64, 0x00, 0x2a, 0xac};
    return *sps;
}

const std::vector<uint8_t>& SimCompressionSession::pictureParameterSet() {
    static const auto* pps = new std::vector<uint8_t>{0x68, 0xee, 0x3c, 0x80};
    return *pps;
}

Status SimCompressionSession::encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer,
                                          Time presentationTime, Time duration,
                                          const FrameOptions* options,
                                          OutputHandler outputHandler) {
    bool forced = options && options->count(kEncodeFrameOptionKey_ForceKeyFrame) &&
                  options->at(kEncodeFrameOptionKey_ForceKeyFrame);
    int luma = imageBuffer ? simPictureLuma(*imageBuffer) : -1;
    if (int64_t delay = currentScript()->encodeDelayMicroseconds; delay > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
    note("session encode pts=" + timeText(presentationTime) + " duration=" + timeText(duration) +
         " options=" + (options ? (forced ? "ForceKeyFrame" : "other") : "none") +
         " luma=" + std::to_string(luma));
    Status status = currentScript()->encodeStatus;
    if (status != 0) return status;

    const int64_t latency = currentScript()->outputDelayMicroseconds;
    output_->async([this, forced, luma, latency, handler = std::move(outputHandler)] {
        if (latency > 0) std::this_thread::sleep_for(std::chrono::microseconds(latency));
        bool key = forced || firstFrame_;
        firstFrame_ = false;
        auto description = std::make_shared<FormatDescription>();
        description->parameterSets = {{sequenceParameterSet()}, {pictureParameterSet()}};
        std::vector<uint8_t> nal{uint8_t(key ? 0x65 : 0x41), uint8_t(luma), 0x11, 0x22};
        std::vector<uint8_t> data{0, 0, 0, uint8_t(nal.size())};
        data.insert(data.end(), nal.begin(), nal.end());
        auto sample = std::make_shared<SampleBuffer>();
        sample->formatDescription = std::move(description);
        sample->dataBuffer = std::make_shared<BlockBuffer>(std::move(data));
        sample->attachments = AttachmentsArray{{{kSampleAttachmentKeyNotSync, !key}}};
        handler(0, 0, std::move(sample));
    });
    return 0;
}

}  // namespace sim
}  // namespace vx
