#pragma once
// Base of the two output objects of a capture stream (the audio writer and the
// frame pump): it receives their samples and answers a stopped stream the same
// way for both, by ending the process with "capture stopped: <description>" and
// status 3. Nothing is stopped, closed or retried first.
#include "platform/stream.h"

namespace vx {

class CaptureOutput : public StreamOutput, public StreamDelegate {
public:
    [[noreturn]] void didStopWithError(Stream& stream, const Error& error) override;
};

}  // namespace vx
