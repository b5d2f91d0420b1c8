#pragma once
// The capture stream: built from a filter and a configuration, it delivers
// samples to its registered outputs, each on the serial queue given at
// registration, and tells its delegate when it stops.
//
// The stream holds its outputs and its delegate strongly; the program keeps the
// stream alive until the process ends. Samples of one output arrive one at a
// time and in order; different outputs may be called at the same time.
#include <functional>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/sample_buffer.h"
#include "platform/serial_queue.h"
#include "platform/stream_configuration.h"

namespace vx {

class Stream;

enum class OutputType : int { screen = 0, audio = 1 };

class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    // On the queue registered for this output type.
    virtual void didOutputSampleBuffer(Stream& stream, const SampleBuffer& sample,
                                       OutputType type) = 0;
};

class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    // On a thread of the platform's, at most once, possibly while samples still arrive.
    virtual void didStopWithError(Stream& stream, const Error& error) = 0;
};

class Stream {
public:
    // Implemented by the backend that is linked in.
    static std::shared_ptr<Stream> create(const ContentFilter& filter,
                                          const StreamConfiguration& configuration,
                                          std::shared_ptr<StreamDelegate> delegate);
    virtual ~Stream() = default;

    // Registers output for samples of type on queue. An error means nothing was registered.
    virtual std::optional<Error> addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                 OutputType type,
                                                 std::shared_ptr<SerialQueue> queue) = 0;

    // Starts the capture. The handler runs once, on a thread of the platform's:
    // no error means that the stream runs.
    virtual void startCapture(std::function<void(std::optional<Error>)> completionHandler) = 0;

    // Whether anybody uses the screen frames at the moment (a pipe reader is
    // attached). While nobody does, a stream may grab less often or not at all;
    // once wanted again it delivers a fresh complete frame soon. Any thread; a hint
    // only, ignored by streams that cannot act on it. Streams start as wanted.
    virtual void setScreenFramesWanted(bool /*wanted*/) {}
};

}  // namespace vx
