#include "platform/linux/x264/x264_session.h"

#include <future>

#include "platform/linux/x264/x264_encoder.h"

namespace vx {

Status CompressionSession::create(int32_t width, int32_t height, uint32_t codecType,
                                  const EncoderSpecification& /*specification*/,
                                  std::shared_ptr<CompressionSession>* session) {
    if (codecType != kCodecTypeH264) return kX264CodecNotSupported;
    if (width <= 0 || height <= 0 || width % 2 || height % 2) return kX264InvalidParameter;
    *session = std::make_shared<X264Session>(width, height);
    return 0;
}

X264Session::State::~State() = default;

Status X264Session::State::open() {
    std::lock_guard<std::mutex> guard(mutex);
    if (opened) return openStatus;
    opened = true;
    x264_param_t param;
    if (!settings.parameters(width, height, &param)) {
        openRefusal = settings.limitPassed(width, height);
        return openStatus = kX264InvalidParameter;
    }
    encoder = X264Encoder::open(
        param, {settings.keyFrameInterval(), settings.maxKeyFrameSeconds()}, &openStatus);
    return openStatus;
}

X264Session::X264Session(int32_t width, int32_t height)
    : state_(std::make_shared<State>()), queue_(SerialQueue::create("vx-capture.encoder")) {
    state_->width = width;
    state_->height = height;
}

std::string X264Session::statusDescription(Status status) const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return status != 0 && status == state_->openStatus ? state_->openRefusal : std::string();
}

// Releasing the queue lets it finish the frames already queued.
X264Session::~X264Session() = default;

Status X264Session::setProperty(const std::string& key, const PropertyValue& value) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->opened) return kX264PropertyReadOnly;
    return state_->settings.set(key, value);
}

Status X264Session::prepareToEncodeFrames() {
    std::promise<Status> opened;
    std::future<Status> result = opened.get_future();
    queue_->async([state = state_, &opened] { opened.set_value(state->open()); });
    return result.get();
}

Status X264Session::encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime,
                                Time /*duration*/, const FrameOptions* options,
                                OutputHandler outputHandler) {
    bool forceIdr = false;
    if (options) {
        auto found = options->find(kEncodeFrameOptionKey_ForceKeyFrame);
        forceIdr = found != options->end() && found->second;
    }
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->frameDone.wait(lock, [this] { return state_->pending < kMaxPendingFrames; });
        ++state_->pending;
    }
    queue_->async([state = state_, imageBuffer = std::move(imageBuffer), presentationTime,
                   forceIdr, handler = std::move(outputHandler)]() mutable {
        if (state->open() != 0) {
            if (handler) handler(state->openStatus, 0, nullptr);
        } else {
            state->encoder->encode(imageBuffer, presentationTime, forceIdr, std::move(handler));
            imageBuffer.reset();  // x264 has its own copy now
        }
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            --state->pending;
        }
        state->frameDone.notify_all();
    });
    return 0;
}

}  // namespace vx
