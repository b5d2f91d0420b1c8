#pragma once
// The audio that waits for standard output: a bounded first-in first-out queue of
// converted buffers, each a whole number of frames.
//
// A reader of standard output that stops reading must neither hold up the
// capture nor make memory grow: push() never waits for the writer, and when what
// waits would pass the bound, the oldest whole buffers are dropped. A buffer is
// never cut, so what comes out is always whole frames of whole samples; the
// buffer just pushed always stays, so what waits is at most
// max(maxBytes, the newest buffer's size) bytes in at most maxBuffers buffers.
//
// Threads: one producer (the "vx-capture.audio" queue) and one consumer (the
// standard-output writer), any threads; every operation takes the queue's lock
// briefly and none blocks while holding it. Only pop() waits, for a buffer or for
// close(). The slots are allocated once, at construction: push() and pop() only
// move buffers in and out.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace vx {

class PcmQueue {
public:
    // maxBuffers >= 1.
    PcmQueue(size_t maxBytes, size_t maxBuffers);

    PcmQueue(const PcmQueue&) = delete;
    PcmQueue& operator=(const PcmQueue&) = delete;

    // Appends buffer (ignored when empty or after close()), then drops the oldest
    // buffers, never the one just appended, until the bound holds.
    void push(std::vector<uint8_t> buffer);

    // The oldest buffer, waiting until there is one; none once the queue is closed
    // and nothing is left.
    std::optional<std::vector<uint8_t>> pop();

    // Ends the waiting of pop() once what is queued has been taken.
    void close();

    size_t queuedBytes() const;
    // Buffers dropped so far to keep the bound.
    uint64_t droppedBuffers() const;

private:
    void dropOldest();

    const size_t maxBytes_;
    mutable std::mutex mutex_;
    std::condition_variable filled_;
    std::vector<std::vector<uint8_t>> slots_;  // a ring of maxBuffers slots; guarded by mutex_
    size_t first_ = 0;                         // slot of the oldest buffer; guarded by mutex_
    size_t count_ = 0;                         // guarded by mutex_
    size_t bytes_ = 0;                         // guarded by mutex_
    uint64_t dropped_ = 0;                     // guarded by mutex_
    bool closed_ = false;                      // guarded by mutex_
};

}  // namespace vx
