#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>

#include "base/diagnostics.h"
#include "base/options.h"
#include "base/process_state.h"
#include "capture/await.h"
#include "capture/session_starters.h"
#include "delivery/fifo_writer.h"
#include "delivery/video_capture.h"
#include "encode/video_encoder.h"
#include "platform/error.h"
#include "platform/fitted_rect.h"
#include "platform/serial_queue.h"
#include "platform/shareable_content.h"
#include "platform/stream.h"
#include "platform/stream_configuration.h"

namespace vx {

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kUInt32Max = std::numeric_limits<uint32_t>::max();
constexpr int64_t kMaxBitrateKbps = std::numeric_limits<int64_t>::max() / 1000;

}  // namespace

void startVideo() {
    const int64_t width = option("--width", 1920);
    const int64_t height = option("--height", 1080);
    const int64_t fps = option("--fps", 60);
    const std::optional<std::string> out = stringOption("--out");
    if (!out) fail("video needs --out <fifo>", 2);

    const int64_t displayOption = option("--display", 0);
    const int64_t bitrateKbps = option("--bitrate", 18000);
    requireRange("--width", width, 2, kInt32Max);
    requireRange("--height", height, 2, kInt32Max);
    requireRange("--fps", fps, kInt32Min, kInt32Max);
    requireRange("--display", displayOption, 0, kUInt32Max);
    requireRange("--bitrate", bitrateKbps, 1, kMaxBitrateKbps);
    // Only a named pipe is ever written: a mistyped path must not damage a file,
    // and "started" is said only for a pipe that can be written some day.
    if (const auto problem = FifoWriter::problemWithPath(*out))
        fail(out->empty() ? "--out " + *problem : "--out " + *out + " " + *problem, 2);

    const int64_t W = width & ~int64_t(1);
    const int64_t H = height & ~int64_t(1);
    const int64_t F = fps > 1 ? fps : 1;

    ShareableContentResult answer = await<ShareableContentResult>(
        [](std::function<void(ShareableContentResult)> done) {
            getShareableContent(false, false, std::move(done));
        });
    if (const Error* error = std::get_if<Error>(&answer)) throw *error;
    const ShareableContent& content = std::get<ShareableContent>(answer);

    const uint32_t displayID = uint32_t(displayOption);
    const Display* chosen = nullptr;
    for (const Display& display : content.displays) {
        if (display.displayID == displayID) {
            chosen = &display;
            break;
        }
    }
    if (!chosen && !content.displays.empty()) chosen = &content.displays.front();
    if (!chosen) fail("no display to capture", 3);

    const ContentFilter filter{*chosen, {}, {}};

    StreamConfiguration configuration;
    configuration.setWidth(W);
    configuration.setHeight(H);
    configuration.setDestinationRect(fittedRect(chosen->width, chosen->height, W, H));
    configuration.setBackgroundColor(kColorBlack);
    configuration.setPixelFormat(kPixelFormat420v);
    configuration.setColorMatrix(kYCbCrMatrixITU_R_709_2);
    configuration.setMinimumFrameInterval(Time{1, int32_t(F)});
    configuration.setQueueDepth(4);
    configuration.setShowsCursor(true);

    std::shared_ptr<VideoEncoder> encoder = VideoEncoder::create(W, H, F, bitrateKbps);
    std::shared_ptr<FifoWriter> fifo = FifoWriter::create(*out);
    std::shared_ptr<VideoCapture> pump = VideoCapture::create(encoder, fifo);
    keepAlive.push_back(encoder);
    keepAlive.push_back(fifo);
    keepAlive.push_back(pump);

    std::shared_ptr<Stream> stream = Stream::create(filter, configuration, pump);
    // The stream grabs only while a reader wants its frames.
    pump->onScreenFramesWanted = [weakStream = std::weak_ptr<Stream>(stream)](bool wanted) {
        if (auto running = weakStream.lock()) running->setScreenFramesWanted(wanted);
    };
    if (std::optional<Error> error = stream->addStreamOutput(
            pump, OutputType::screen, SerialQueue::create("vx-capture.video"))) {
        throw *error;
    }
    std::optional<Error> startError = await<std::optional<Error>>(
        [&stream](std::function<void(std::optional<Error>)> done) {
            stream->startCapture(std::move(done));
        });
    if (startError) throw *startError;
    activeStream = stream;

    pump->startRepeating(100);
    // Nobody reads the pipe until the writer has started.
    stream->setScreenFramesWanted(false);
    fifo->start();
}

}  // namespace vx
