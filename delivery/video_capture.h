#pragma once
// The frame pump: output and delegate of the video capture stream. While a reader
// is attached to the pipe, every complete screen frame is handed to the encoder,
// stamped with the clock; while no frame comes, the idle-repeat timer hands the
// remembered frame over again once a whole interval has passed since the last
// encode. While no reader is attached nothing is encoded: frames are only
// remembered, and the stream is told that nobody wants them (onScreenFramesWanted).
//
// A frame marked kStreamFrameInfoScreenResized (the screen changed size) is encoded
// as a key frame.
//
// A reader that attaches gets a key frame of the current screen: the stream is told
// that frames are wanted again, and the next frame it delivers is encoded as a key
// frame. The remembered frame may be stale (a stream that nobody wanted may have
// grabbed nothing), so the repeat waits for that fresh frame for half an interval
// after the attach before it falls back to the remembered one.
//
// Pictures reach the encoder in the order they were captured, each with a
// presentation time later than the one before: the frame callback and the tick
// choose their picture and hand it over under one submission lock.
//
// Construction joins the encoder and the pipe writer: access units go to the
// writer, whose new readers begin with a key frame (the units ahead of it are
// dropped for them), and the writer's readers coming and going reach the pump. The
// pump holds the encoder, the writer and its timer; the timer's handler holds the
// pump, so once startRepeating() has run the pump lives for the rest of the process.
//
// Threads: frames arrive on the stream's sample queue, ticks on the
// "vx-capture.repeat" queue, reader notices on the writer's threads. A stopped
// stream ends the process (CaptureOutput).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/capture_output.h"
#include "delivery/fifo_writer.h"
#include "encode/video_encoder.h"
#include "platform/image_buffer.h"
#include "platform/media_time.h"

namespace vx {

class VideoCapture : public CaptureOutput, public std::enable_shared_from_this<VideoCapture> {
public:
    // Makes the idle-repeat timer: tick is to run every interval, the first time one
    // interval from now, on a serial context of the timer's own. What it returns
    // keeps the timer running. The default is a TimerSource on a new serial queue
    // "vx-capture.repeat", with no leeway, reading the pump's clock.
    using RepeatTimerFactory = std::function<std::shared_ptr<void>(
        uint64_t intervalNanoseconds, std::function<void()> tick)>;

    // Replaces the encoder's onAccessUnit and the writer's onReaderConnected,
    // onReaderDisconnected and isStreamStart. clock stamps and times the frames.
    static std::shared_ptr<VideoCapture> create(std::shared_ptr<VideoEncoder> encoder,
                                                std::shared_ptr<FifoWriter> fifo,
                                                std::shared_ptr<Clock> clock = Clock::host(),
                                                RepeatTimerFactory repeatTimers = {});

    // Takes sample if it is a screen frame, valid, with an image, whose first
    // attachment dictionary holds the integer status "complete"; ignores it otherwise.
    void didOutputSampleBuffer(Stream& stream, const SampleBuffer& sample,
                               OutputType type) override;

    // Installs the idle-repeat timer: a tick every `every` milliseconds, the first one
    // `every` milliseconds from now. Called once; every >= 0 and every × 1,000,000
    // within 64 bits (the program passes 100).
    void startRepeating(int64_t every);

    // Told true when a reader attaches and false when it leaves, on the writer's
    // threads, outside every lock. Set before the writer starts; may be empty.
    std::function<void(bool)> onScreenFramesWanted;

private:
    VideoCapture(std::shared_ptr<VideoEncoder> encoder, std::shared_ptr<FifoWriter> fifo,
                 std::shared_ptr<Clock> clock, RepeatTimerFactory repeatTimers);
    void tick(uint64_t intervalNanoseconds);
    void readerAttached();
    void readerDetached();
    // Hands frame to the encoder with the next presentation time. submitLock held.
    void submit(std::shared_ptr<ImageBuffer> frame);

    const std::shared_ptr<VideoEncoder> encoder;
    const std::shared_ptr<FifoWriter> fifo;  // kept alive with the pump
    const std::shared_ptr<Clock> clock;
    const RepeatTimerFactory repeatTimers;
    // Held from the choice of a picture until the encoder has it, so that pictures
    // go in the order they were chosen. Taken before lock, never inside it.
    std::mutex submitLock;
    int64_t lastPresentation = 0;            // guarded by submitLock
    std::mutex lock;                         // guards the fields below
    std::shared_ptr<ImageBuffer> lastFrame;  // the latest complete frame, not copied
    uint64_t lastEncode;                     // clock nanoseconds of the last hand-over
    bool attached = false;                   // a reader is attached to the pipe
    bool awaitingFresh = false;              // attached, and nothing encoded since
    uint64_t attachedAt = 0;                 // clock nanoseconds of the attach
    std::shared_ptr<void> repeater;
};

}  // namespace vx
