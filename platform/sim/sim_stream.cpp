#include "platform/sim/sim_stream.h"

#include <chrono>
#include <sstream>
#include <thread>

#include "platform/media_time.h"
#include "platform/sim/sim_picture.h"
#include "platform/sim/sim_state.h"

namespace vx {

namespace {

std::string valueOf(const StreamConfiguration& c, const std::string& setter) {
    std::ostringstream out;
    if (setter == "setCapturesAudio") out << c.capturesAudio;
    else if (setter == "setExcludesCurrentProcessAudio") out << c.excludesCurrentProcessAudio;
    else if (setter == "setSampleRate") out << c.sampleRate;
    else if (setter == "setChannelCount") out << c.channelCount;
    else if (setter == "setWidth") out << c.width;
    else if (setter == "setHeight") out << c.height;
    else if (setter == "setMinimumFrameInterval")
        out << c.minimumFrameInterval.value << "/" << c.minimumFrameInterval.timescale;
    else if (setter == "setDestinationRect")
        out << c.destinationRect.x << "," << c.destinationRect.y << ","
            << c.destinationRect.width << "," << c.destinationRect.height;
    else if (setter == "setBackgroundColor")
        out << c.backgroundColor.red << "," << c.backgroundColor.green << ","
            << c.backgroundColor.blue << "," << c.backgroundColor.alpha;
    else if (setter == "setPixelFormat") out << "0x" << std::hex << c.pixelFormat;
    else if (setter == "setColorMatrix") out << c.colorMatrix;
    else if (setter == "setQueueDepth") out << c.queueDepth;
    else if (setter == "setShowsCursor") out << c.showsCursor;
    return out.str();
}

void sleepMs(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

std::shared_ptr<Stream> Stream::create(const ContentFilter& filter,
                                       const StreamConfiguration& configuration,
                                       std::shared_ptr<StreamDelegate> delegate) {
    std::string excluded;
    for (const auto& app : filter.excludedApplications)
        excluded += (excluded.empty() ? "" : ",") + app.bundleIdentifier;
    sim::note("filter display=" + std::to_string(filter.display.displayID) +
              " excluded=" + excluded +
              " windows=" + std::to_string(filter.exceptingWindows.size()));
    for (const auto& setter : configuration.calls())
        sim::note("config " + setter + " " + valueOf(configuration, setter));
    sim::note(std::string("stream delegate=") + (delegate ? "1" : "0"));
    return std::make_shared<sim::SimStream>(std::move(delegate));
}

namespace sim {

SimStream::SimStream(std::shared_ptr<StreamDelegate> delegate) : delegate_(std::move(delegate)) {}

std::optional<Error> SimStream::addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                OutputType type,
                                                std::shared_ptr<SerialQueue> queue) {
    note("addOutput type=" + std::to_string(int(type)) + " queue=" + queue->label());
    auto script = currentScript();
    auto failure = script->addOutputErrors.find(int(type));
    if (failure != script->addOutputErrors.end()) return failure->second;
    std::lock_guard<std::mutex> guard(mutex_);
    outputs_[type] = {std::move(output), std::move(queue)};
    return std::nullopt;
}

void SimStream::startCapture(std::function<void(std::optional<Error>)> completionHandler) {
    note("startCapture");
    auto script = currentScript();
    std::thread([self = shared_from_this(), script, completionHandler = std::move(completionHandler)] {
        if (script->startError) {
            completionHandler(script->startError);
            return;
        }
        completionHandler(std::nullopt);
        std::thread([self, script] { self->playFrames(script); }).detach();
        std::thread([self, script] { self->playAudio(script); }).detach();
        if (script->stopAfterMs) {
            sleepMs(*script->stopAfterMs);
            if (self->delegate_) self->delegate_->didStopWithError(*self, script->stopError);
        }
    }).detach();
}

void SimStream::setScreenFramesWanted(bool wanted) {
    note(std::string("stream screen-frames wanted=") + (wanted ? "1" : "0"));
    auto script = currentScript();
    if (!wanted || !script->frameWhenWanted) return;
    std::thread([self = shared_from_this(), script] {
        const ScriptedFrame& frame = *script->frameWhenWanted;
        sleepMs(frame.delayMs);
        self->deliver(OutputType::screen, makeFrameSample(frame, script->framePixels));
    }).detach();
}

void SimStream::deliver(OutputType type, std::shared_ptr<const SampleBuffer> sample) {
    std::shared_ptr<StreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto found = outputs_.find(type);
        if (found == outputs_.end()) return;
        std::tie(output, queue) = found->second;
    }
    queue->async([self = shared_from_this(), output, sample, type] {
        output->didOutputSampleBuffer(*self, *sample, type);
    });
}

void SimStream::playFrames(std::shared_ptr<const Script> script) {
    for (const auto& frame : script->frames) {
        for (int64_t i = 0; i < frame.count; ++i) {
            sleepMs(frame.delayMs);
            deliver(OutputType::screen, makeFrameSample(frame, script->framePixels));
        }
    }
}

void SimStream::playAudio(std::shared_ptr<const Script> script) {
    for (const auto& audio : script->audio) {
        sleepMs(audio.delayMs);
        deliver(OutputType::audio, makeAudioSample(audio));
    }
}

std::shared_ptr<const SampleBuffer> makeFrameSample(const ScriptedFrame& frame, int pixels) {
    auto sample = std::make_shared<SampleBuffer>();
    sample->valid = frame.valid;
    sample->attachments = frame.attachments;
    sample->presentationTime = hostTime();
    if (frame.hasImage) {
        sample->imageBuffer = simPicture(frame.fill, pixels);
    }
    return sample;
}

std::shared_ptr<const SampleBuffer> makeAudioSample(const ScriptedAudio& audio) {
    auto sample = std::make_shared<SampleBuffer>();
    sample->valid = audio.valid;
    sample->numSamples = audio.numSamples;
    if (audio.description) {
        auto description = std::make_shared<FormatDescription>();
        description->audioStreamBasicDescription = audio.description;
        sample->formatDescription = std::move(description);
    }
    if (audio.bufferListAvailable) {
        auto data = std::make_shared<std::vector<std::optional<std::vector<float>>>>(audio.buffers);
        AudioBufferList list;
        for (const auto& buffer : *data) {
            AudioBuffer entry;
            entry.mNumberChannels = 1;
            if (buffer) {
                entry.mData = buffer->data();
                entry.mDataByteSize = uint32_t(buffer->size() * sizeof(float));
            }
            list.push_back(entry);
        }
        sample->audioBufferList = std::move(list);
        sample->audioData = std::move(data);
    }
    return sample;
}

}  // namespace sim
}  // namespace vx
