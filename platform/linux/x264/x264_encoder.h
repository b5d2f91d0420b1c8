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
// With a rate control (an average bit rate was set, and x264 opened with a constant
// quantizer), it chooses every frame's quantizer and which frames are key frames, so a
// repeat of a still screen comes out as an all-skip P frame. A frame that would empty
// its buffer (the screen turned to much harder content at once) is dropped before
// anyone sees it and the picture coded again as a key frame, coarse enough to fit.
// Without a rate control, x264's own decides, and only a repeat of a picture already
// coded finely enough is held at the quantizer of the frame before.
//
// A sample holds the frame's NAL units, each after a 4-byte big-endian length, the
// shared format description with SPS and PPS (nalUnitHeaderLength 4), and the
// attachments [{NotSync: false}] on IDR frames, [{NotSync: true}] on the others.
#include <array>
#include <deque>
#include <vector>
#include <memory>
#include <optional>

#include <x264.h>

#include "platform/compression_session.h"
#include "platform/linux/x264/x264_rate_control.h"

namespace vx {

class X264Encoder {
public:
    // Opens x264 with param (i_width, i_height, NV12 input, b_annexb 0). Null, with
    // *status set, when x264 refuses. With maxKeyFrameSeconds, a frame whose
    // presentation time lies that long after the last key frame's is made an IDR
    // frame, however few frames came in between. With bitsPerSecond (param then in
    // constant-quantizer mode), the encoder's own rate control keeps to that rate.
    static std::unique_ptr<X264Encoder> open(x264_param_t param,
                                             std::optional<int64_t> maxKeyFrameSeconds,
                                             std::optional<int64_t> bitsPerSecond,
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
        int changed = 0;     // macroblocks not marked constant
        bool whole = false;  // x264 codes every macroblock (key, or finer than the last)
    };

    X264Encoder(std::unique_ptr<x264_t, Closer> encoder, int width, int height,
                std::shared_ptr<const FormatDescription> description);
    void deliver(const x264_nal_t* nals, int count, const x264_picture_t& output);
    // The frame's type and quantizer: the rate control's, or x264's own with a repeat
    // of a settled picture held at the quantizer before. frame->changed is read; with a
    // rate control, frame->whole is set.
    void chooseFrameType(bool forceIdr, x264_picture_t* input, Pending* frame) const;
    // The macroblock hints for picture, or null for none; remembers the picture's number.
    // *changed: the macroblocks not marked constant (all of them when null).
    uint8_t* macroblockHints(const ImageBuffer& picture, int* changed);
    void fail(Pending pending);

    std::unique_ptr<x264_t, Closer> encoder_;
    int width_;
    int height_;
    int macroblocks_;
    std::shared_ptr<const FormatDescription> description_;
    std::deque<Pending> pending_;  // frames inside x264, oldest first
    int64_t nextPts_ = 0;
    std::optional<double> maxKeyFrameSeconds_;
    std::optional<double> lastKeyFrameSeconds_;  // presentation time of the last IDR frame
    int keyFrameInterval_ = 0;       // x264's own, in frames
    int framesSinceKeyFrame_ = 0;    // frames that came out since the last key frame
    std::optional<int> lastQuantizer_;  // of the frame that came out last
    std::unique_ptr<X264RateControl> rateControl_;  // null: x264's own
    uint64_t lastSequence_ = 0;                  // of the picture encoded last; 0: unknown
    // x264 may look at a frame's hints until it has finished that frame: each array is
    // reused only several frames later.
    std::array<std::vector<uint8_t>, 4> hints_;
    size_t nextHints_ = 0;
};

}  // namespace vx
