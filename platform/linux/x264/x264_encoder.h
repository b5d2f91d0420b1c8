#pragma once
// One open libx264 encoder and the frames inside it. Used on one thread only (the
// session's queue). Every encode() call ends in exactly one call of its handler:
// with the encoded sample when x264 hands the frame back (at once in zero-latency
// mode), or with a failure status. Frames still inside x264 when the encoder is
// destroyed are flushed out first.
//
// Pictures numbered by their producer (ImageBuffer::sequence()) carry hints to x264:
// a picture that is the very one encoded last (a repeat of a still screen) is marked
// constant in every macroblock, and one that directly follows the picture encoded
// last is marked constant wherever its macroblock map says it did not change. Any
// other picture is analysed whole.
//
// Key frames are placed here, not by x264: one is due when the presentation time since
// the last passes the key-frame duration, or when the pictures coded since (repeats of
// the same picture not counted) reach the key-frame interval, so repeats of a still
// screen do not shorten it. A frame that x264 failed to code makes the next one a key
// frame, as a reader may have missed a picture the next would refer to.
//
// With a bit rate, x264's own rate control keeps to it. x264 counts every frame as
// 1/fps long; here each frame gets the rate of the presentation time since the frame
// before (at most the time that fills the buffer), so damage-driven frames, repeats of
// a still screen and time without frames all get what the clock gives. Key frames
// after the first are planned (KeyFramePlanner): the buffer grows to hold one at the
// quantizer the frames before reached, up to two seconds of the rate, and its
// quantizer is set here; x264's rate control still holds every frame to its buffer.
//
// A sample holds the frame's NAL units, each after a 4-byte big-endian length, the
// shared format description with SPS and PPS (nalUnitHeaderLength 4), and the
// attachments [{NotSync: false}] on IDR frames, [{NotSync: true}] on the others.
#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include <x264.h>

#include "platform/compression_session.h"
#include "platform/keyframe_clock.h"
#include "platform/linux/x264/key_frame_planner.h"

namespace vx {

class X264Encoder {
public:
    struct KeyFrames {
        int interval = 250;                 // pictures
        std::optional<int64_t> maxSeconds;  // of presentation time
    };
    // Opens x264 with param (i_width, i_height, NV12 input, b_annexb 0; with a bit rate,
    // x264's ABR with a buffer). Null, with *status set, when x264 refuses.
    static std::unique_ptr<X264Encoder> open(x264_param_t param, KeyFrames keyFrames,
                                             Status* status);
    ~X264Encoder();

    X264Encoder(const X264Encoder&) = delete;
    X264Encoder& operator=(const X264Encoder&) = delete;

    // picture must have the encoder's size; x264 copies it before encode() returns.
    void encode(const std::shared_ptr<ImageBuffer>& picture, Time presentationTime, bool forceIdr,
                OutputHandler handler);

    const std::shared_ptr<const FormatDescription>& formatDescription() const {
        return description_;
    }

private:
    struct Closer {
        void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
    };
    struct Pending {
        OutputHandler handler;
        Time presentationTime;
        double detail = 0;  // of a key frame's picture, for the planner
    };

    X264Encoder(std::unique_ptr<x264_t, Closer> encoder, int width, int height,
                std::shared_ptr<const FormatDescription> description, KeyframeClock keyFrames);
    void deliver(const x264_nal_t* nals, int count, const x264_picture_t& output);
    // Gives x264 the rate of the time since the frame before, when that differs.
    void paceRate(double presentationTime);
    // The macroblock hints for picture, or null for none; remembers the picture's number.
    // *repeat: the picture is the very one encoded last.
    uint8_t* macroblockHints(const ImageBuffer& picture, bool* repeat);
    void fail(Pending pending);

    std::unique_ptr<x264_t, Closer> encoder_;
    int width_;
    int height_;
    std::shared_ptr<const FormatDescription> description_;
    std::deque<Pending> pending_;  // frames inside x264, oldest first
    int64_t nextPts_ = 0;
    // Due for the first frame and after a failure; repeats do not count.
    KeyframeClock keyFrames_;
    // The rate control's settings as opened (kbit/s, 0: no rate control) and as given
    // to x264 for the last frame.
    x264_param_t rate_{};
    int kilobitsPerSecond_ = 0;
    int pacedKilobits_ = 0;
    std::optional<double> lastSeconds_;       // presentation time of the frame before
    std::optional<double> changedAt_;         // presentation time of the last new picture
    std::optional<double> detailAt_;          // when the picture's detail was noted last
    std::optional<KeyFramePlanner> planner_;  // with a bit rate
    // The mean quantizer of the frame x264 coded last, as its log line told; negative
    // when not told. Where x264's log handler writes it.
    std::unique_ptr<double> quantizer_;
    uint64_t lastSequence_ = 0;  // of the picture encoded last; 0: unknown
    // x264 may look at a frame's hints until it has finished that frame: each array is
    // reused only several frames later.
    std::array<std::vector<uint8_t>, 4> hints_;
    size_t nextHints_ = 0;
};

}  // namespace vx
