// Audio mode: the system's audio output, without the companion application's
// own audio, captured through a filter on the first display and delivered to an
// AudioWriter on standard output. The stream's screen output is registered too
// (2 x 2 pixels, at most one frame a second) and its frames are dropped.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <variant>

#include "audio/audio_writer.h"
#include "base/diagnostics.h"
#include "base/options.h"
#include "base/process_state.h"
#include "capture/await.h"
#include "capture/session_starters.h"
#include "platform/serial_queue.h"
#include "platform/shareable_content.h"
#include "platform/stream.h"
#include "platform/stream_configuration.h"

namespace vx {

namespace {

// Most channels a capture may be asked for. Far above what any audio output
// offers, low enough that one buffer's output stays a modest allocation.
constexpr int64_t kMaxChannels = 64;
constexpr int64_t kMaxRate = std::numeric_limits<int32_t>::max();
// Highest rate a sound server records at; a higher request gets this one, so it
// is what the audio waiting for standard output is reckoned in.
constexpr int64_t kHighestRecordedRate = 384000;

// Frames that may wait for a stalled reader of standard output: half a second at
// the requested rate, at least one.
int64_t queuedFrames(int64_t rate) {
    return std::max<int64_t>(std::min(rate, kHighestRecordedRate) / 2, 1);
}

ShareableContent shareableContent() {
    auto result = await<ShareableContentResult>(
        [](auto handler) { getShareableContent(false, false, std::move(handler)); });
    if (auto* error = std::get_if<Error>(&result)) throw *error;
    return std::get<ShareableContent>(std::move(result));
}

void addOutput(Stream& stream, const std::shared_ptr<AudioWriter>& writer, OutputType type,
               const char* label) {
    if (auto error = stream.addStreamOutput(writer, type, SerialQueue::create(label))) throw *error;
}

}  // namespace

void startAudio() {
    const int64_t channels = option("--channels", 2);
    const int64_t rate = option("--rate", 48000);
    requireRange("--channels", channels, 0, kMaxChannels);
    requireRange("--rate", rate, 1, kMaxRate);

    auto writer = std::make_shared<AudioWriter>(channels, 1, queuedFrames(rate));
    keepAlive.push_back(writer);

    ShareableContent content = shareableContent();
    if (content.displays.empty()) fail("no display to attach the capture to", 3);

    ContentFilter filter;
    filter.display = content.displays.front();
    for (const RunningApplication& application : content.applications)
        if (application.bundleIdentifier == senderBundleId)
            filter.excludedApplications.push_back(application);

    StreamConfiguration configuration;
    configuration.setCapturesAudio(true);
    configuration.setExcludesCurrentProcessAudio(true);
    configuration.setSampleRate(rate);
    configuration.setChannelCount(channels);
    configuration.setWidth(2);
    configuration.setHeight(2);
    configuration.setMinimumFrameInterval(Time{1, 1});

    auto stream = Stream::create(filter, configuration, writer);
    addOutput(*stream, writer, OutputType::audio, "vx-capture.audio");
    addOutput(*stream, writer, OutputType::screen, "vx-capture.screen");

    auto started = await<std::optional<Error>>(
        [&stream](auto handler) { stream->startCapture(std::move(handler)); });
    if (started) throw *started;
    activeStream = std::move(stream);
}

}  // namespace vx
