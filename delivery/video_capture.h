#pragma once
// The frame pump: output and delegate of the video capture stream. Every complete
// screen frame is remembered and handed to the encoder, stamped with the host
// clock; while no frame comes, the idle-repeat timer hands the remembered frame
// over again once a whole interval has passed since the last encode.
//
// Construction joins the encoder and the pipe writer: access units go to the
// writer, and every reader that attaches makes the encoder produce a key frame
// next. The pump holds the encoder, the writer and its timer; the timer's handler
// holds the pump, so once startRepeating() has run the pump lives for the rest of
// the process.
//
// Threads: frames arrive on the stream's sample queue, ticks on the
// "vx-capture.repeat" queue; both call encode() outside the lock, possibly at the
// same time. A stopped stream ends the process (CaptureOutput).
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/capture_output.h"
#include "delivery/fifo_writer.h"
#include "encode/video_encoder.h"
#include "platform/image_buffer.h"
#include "platform/timer_source.h"

namespace vx {

class VideoCapture : public CaptureOutput, public std::enable_shared_from_this<VideoCapture> {
public:
    // Replaces the encoder's onAccessUnit and the writer's onReaderConnected.
    static std::shared_ptr<VideoCapture> create(std::shared_ptr<VideoEncoder> encoder,
                                                std::shared_ptr<FifoWriter> fifo);

    // Encodes sample if it is a screen frame, valid, with an image, whose first
    // attachment dictionary holds the integer status "complete"; ignores it otherwise.
    void didOutputSampleBuffer(Stream& stream, const SampleBuffer& sample,
                               OutputType type) override;

    // Installs the idle-repeat timer: a tick every `every` milliseconds, the first one
    // `every` milliseconds from now, with no leeway. Called once; every >= 0 and
    // every × 1,000,000 within 64 bits (the program passes 100).
    void startRepeating(int64_t every);

private:
    VideoCapture(std::shared_ptr<VideoEncoder> encoder, std::shared_ptr<FifoWriter> fifo);
    void tick(uint64_t intervalNanoseconds);

    const std::shared_ptr<VideoEncoder> encoder;
    const std::shared_ptr<FifoWriter> fifo;  // kept alive with the pump; not used after wiring
    std::mutex lock;                         // guards lastFrame and lastEncode
    std::shared_ptr<ImageBuffer> lastFrame;  // the latest complete frame, not copied
    uint64_t lastEncode;                     // uptime nanoseconds of the last hand-over
    std::shared_ptr<TimerSource> repeater;
};

}  // namespace vx
