#include "delivery/video_capture.h"

#include <utility>

#include "platform/media_time.h"
#include "platform/serial_queue.h"

namespace vx {

namespace {

// A tick runs a little after its due time, and a repeat stamps lastEncode with
// that late time. The next tick is due exactly one interval after the previous
// due time, so without some slack it finds a hair less than an interval, skips,
// and a still screen would be repeated every other tick instead of every tick.
uint64_t tickSlack(uint64_t intervalNanoseconds) { return intervalNanoseconds / 20; }

}  // namespace

std::shared_ptr<VideoCapture> VideoCapture::create(std::shared_ptr<VideoEncoder> encoder,
                                                   std::shared_ptr<FifoWriter> fifo) {
    return std::shared_ptr<VideoCapture>(new VideoCapture(std::move(encoder), std::move(fifo)));
}

VideoCapture::VideoCapture(std::shared_ptr<VideoEncoder> encoder, std::shared_ptr<FifoWriter> fifo)
    : encoder(std::move(encoder)), fifo(std::move(fifo)), lastEncode(uptimeNanoseconds()) {
    // Neither callback refers to the pump: the encoder and the writer hold each other.
    this->encoder->onAccessUnit = [writer = this->fifo](std::vector<uint8_t> unit) {
        writer->write(unit);
    };
    this->fifo->onReaderConnected = [target = this->encoder] { target->requestKeyframe(); };
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

    std::shared_ptr<ImageBuffer> previous;  // released after the lock
    {
        std::lock_guard<std::mutex> guard(lock);
        previous = std::exchange(lastFrame, frame);
        lastEncode = uptimeNanoseconds();
    }
    encoder->encode(std::move(frame), hostTime());
}

void VideoCapture::startRepeating(int64_t every) {
    const uint64_t interval = uint64_t(every) * 1000000u;
    auto queue = SerialQueue::create("vx-capture.repeat");
    auto timer = TimerSource::create(queue);
    timer->schedule(uptimeNanoseconds() + interval, interval, 0);
    timer->setEventHandler([self = shared_from_this(), interval] { self->tick(interval); });
    timer->resume();
    repeater = std::move(timer);
}

void VideoCapture::tick(uint64_t intervalNanoseconds) {
    std::shared_ptr<ImageBuffer> frame;
    {
        std::lock_guard<std::mutex> guard(lock);
        // lastEncode is only ever stored under this lock, before now is read, so the
        // difference cannot wrap.
        const uint64_t elapsed = uptimeNanoseconds() - lastEncode;
        if (elapsed + tickSlack(intervalNanoseconds) < intervalNanoseconds || !lastFrame) return;
        frame = lastFrame;
        lastEncode = uptimeNanoseconds();
    }
    encoder->encode(std::move(frame), hostTime());
}

}  // namespace vx
