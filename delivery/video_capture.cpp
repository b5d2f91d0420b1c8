#include "delivery/video_capture.h"

#include <span>
#include <utility>

#include "encode/annex_b.h"
#include "platform/serial_queue.h"
#include "platform/timer_source.h"

namespace vx {

namespace {

// A tick runs a little after its due time, and a repeat stamps lastEncode with
// that late time. The next tick is due exactly one interval after the previous
// due time, so without some slack it finds a hair less than an interval, skips,
// and a still screen would be repeated every other tick instead of every tick.
uint64_t tickSlack(uint64_t intervalNanoseconds) { return intervalNanoseconds / 20; }

// How long after an attach the repeat leaves to the stream's fresh frame before it
// hands over the remembered one.
uint64_t freshFrameGrace(uint64_t intervalNanoseconds) { return intervalNanoseconds / 2; }

VideoCapture::RepeatTimerFactory timerSources(std::shared_ptr<Clock> clock) {
    return [clock](uint64_t interval, std::function<void()> tick) -> std::shared_ptr<void> {
        auto timer = TimerSource::create(SerialQueue::create("vx-capture.repeat"), clock);
        timer->schedule(clock->uptimeNanoseconds() + interval, interval, 0);
        timer->setEventHandler(std::move(tick));
        timer->resume();
        return timer;
    };
}

}  // namespace

std::shared_ptr<VideoCapture> VideoCapture::create(std::shared_ptr<VideoEncoder> encoder,
                                                   std::shared_ptr<FifoWriter> fifo,
                                                   std::shared_ptr<Clock> clock,
                                                   RepeatTimerFactory repeatTimers) {
    if (!clock) clock = Clock::host();
    if (!repeatTimers) repeatTimers = timerSources(clock);
    std::shared_ptr<VideoCapture> pump(
        new VideoCapture(encoder, fifo, std::move(clock), std::move(repeatTimers)));
    // The writer's callbacks hold the pump weakly: it holds the writer.
    std::weak_ptr<VideoCapture> weak = pump;
    fifo->onReaderConnected = [weak] {
        if (auto self = weak.lock()) self->readerAttached();
    };
    fifo->onReaderDisconnected = [weak] {
        if (auto self = weak.lock()) self->readerDetached();
    };
    return pump;
}

VideoCapture::VideoCapture(std::shared_ptr<VideoEncoder> encoder, std::shared_ptr<FifoWriter> fifo,
                           std::shared_ptr<Clock> clock, RepeatTimerFactory repeatTimers)
    : encoder(std::move(encoder)),
      fifo(std::move(fifo)),
      clock(std::move(clock)),
      repeatTimers(std::move(repeatTimers)),
      lastEncode(this->clock->uptimeNanoseconds()) {
    // The encoder and the writer hold each other; neither callback refers to the pump.
    this->encoder->onAccessUnit = [writer = this->fifo](std::vector<uint8_t> unit) {
        writer->write(unit);
    };
    this->fifo->isStreamStart = [](std::span<const uint8_t> unit) {
        return AnnexB::startsWithKeyFrame(unit);
    };
}

void VideoCapture::didOutputSampleBuffer(Stream&, const SampleBuffer& sample, OutputType type) {
    if (type != OutputType::screen) return;
    if (!sample.isValid()) return;
    std::shared_ptr<ImageBuffer> frame = sample.imageBuffer;
    if (!frame) return;
    const AttachmentsArray* attachments = sampleAttachmentsArray(sample);
    if (!attachments || attachments->empty() || attachments->front().empty()) return;
    const AttachmentDictionary& info = attachments->front();
    auto status = info.find(kStreamFrameInfoStatus);
    if (status == info.end()) return;
    const int64_t* value = std::get_if<int64_t>(&status->second);
    if (!value || *value != kFrameStatusComplete) return;
    auto resized = info.find(kStreamFrameInfoScreenResized);
    const bool* relaidOut = resized == info.end() ? nullptr : std::get_if<bool>(&resized->second);

    std::shared_ptr<ImageBuffer> previous;  // released after the locks
    std::lock_guard<std::mutex> submitting(submitLock);
    {
        std::lock_guard<std::mutex> guard(lock);
        previous = std::exchange(lastFrame, frame);
        if (!attached) return;  // remembered for the next reader, not encoded
        lastEncode = clock->uptimeNanoseconds();
        awaitingFresh = false;
    }
    // A screen that changed size starts anew with a key frame (a reader that attaches
    // later gets one anyway).
    if (relaidOut && *relaidOut) encoder->requestKeyframe();
    submit(std::move(frame));
}

void VideoCapture::startRepeating(int64_t every) {
    const uint64_t interval = uint64_t(every) * 1000000u;
    repeater = repeatTimers(interval, [self = shared_from_this(), interval] { self->tick(interval); });
}

void VideoCapture::tick(uint64_t intervalNanoseconds) {
    std::shared_ptr<ImageBuffer> frame;
    std::lock_guard<std::mutex> submitting(submitLock);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!attached || !lastFrame) return;
        // lastEncode and attachedAt are only ever stored under this lock, before now
        // is read, so the differences cannot wrap.
        const uint64_t now = clock->uptimeNanoseconds();
        const uint64_t slack = tickSlack(intervalNanoseconds);
        if (awaitingFresh) {
            if (now - attachedAt + slack < freshFrameGrace(intervalNanoseconds)) return;
        } else if (now - lastEncode + slack < intervalNanoseconds) {
            return;
        }
        frame = lastFrame;
        lastEncode = now;
        awaitingFresh = false;
    }
    submit(std::move(frame));
}

void VideoCapture::submit(std::shared_ptr<ImageBuffer> frame) {
    Time presentation = clock->hostTime();
    if (presentation.value <= lastPresentation) presentation.value = lastPresentation + 1;
    lastPresentation = presentation.value;
    encoder->encode(std::move(frame), presentation);
}

void VideoCapture::readerAttached() {
    encoder->requestKeyframe();
    {
        std::lock_guard<std::mutex> guard(lock);
        attached = true;
        awaitingFresh = true;
        attachedAt = clock->uptimeNanoseconds();
    }
    if (onScreenFramesWanted) onScreenFramesWanted(true);
}

void VideoCapture::readerDetached() {
    {
        std::lock_guard<std::mutex> guard(lock);
        attached = false;
    }
    if (onScreenFramesWanted) onScreenFramesWanted(false);
}

}  // namespace vx
