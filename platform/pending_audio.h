#pragma once
// Captured audio blocks on their way into a converter that reads them in place
// (AudioToolbox's AudioConverter asks for input through a callback and may go on
// reading a block it was handed until it asks for the next). A block waits here
// until the converter asks for it; once handed over it is kept (and with it the
// capture's memory it points into) until the converter asks again.
//
// At most kMaxPending blocks wait; beyond that the oldest is dropped. One per
// converter, used on its output's queue only.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "platform/sample_buffer.h"

namespace vx {

class PendingAudio {
public:
    static constexpr size_t kMaxPending = 16;

    struct Block {
        SampleBuffer sample;
        uint32_t frames = 0;  // what every buffer of the sample holds
    };

    void push(SampleBuffer sample, uint32_t frames);

    // The converter asks for input: the block handed over before is released, and
    // the next waiting one is handed over; null when none waits. What it points to
    // stays valid until the next call to next() or clear().
    const Block* next();

    // Drops the waiting blocks and the one handed over (the converter was reset).
    void clear();

    size_t waiting() const { return waiting_.size(); }

private:
    std::deque<Block> waiting_;
    std::optional<Block> handedOver_;
};

}  // namespace vx
