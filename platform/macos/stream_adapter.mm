#include "platform/macos/stream_adapter.h"

#include "platform/macos/audio_rate_converter.h"
#include "platform/macos/core_media_sample.h"
#include "platform/macos/framework_error.h"
#include "platform/macos/mac_stream.h"

@implementation VXStreamAdapter {
    std::weak_ptr<vx::MacStream> _stream;
    std::shared_ptr<vx::StreamOutput> _output;
    std::shared_ptr<vx::StreamDelegate> _delegate;
    std::shared_ptr<vx::AudioRateConverter> _converter;
}

- (instancetype)initWithStream:(std::weak_ptr<vx::MacStream>)stream
                        output:(std::shared_ptr<vx::StreamOutput>)output
                      delegate:(std::shared_ptr<vx::StreamDelegate>)delegate
                     converter:(std::shared_ptr<vx::AudioRateConverter>)converter {
    if ((self = [super init])) {
        _stream = std::move(stream);
        _output = std::move(output);
        _delegate = std::move(delegate);
        _converter = std::move(converter);
    }
    return self;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
    if (!_output) return;
    std::shared_ptr<vx::MacStream> owner = _stream.lock();
    if (!owner) return;
    // Kinds of output this program does not register (newer systems have more) are ignored.
    if (type == SCStreamOutputTypeScreen)
        _output->didOutputSampleBuffer(*owner, vx::screenSample(sampleBuffer), vx::OutputType::screen);
    else if (type == SCStreamOutputTypeAudio && _converter)
        _output->didOutputSampleBuffer(*owner, _converter->convert(vx::audioSample(sampleBuffer)),
                                       vx::OutputType::audio);
    else if (type == SCStreamOutputTypeAudio)
        _output->didOutputSampleBuffer(*owner, vx::audioSample(sampleBuffer), vx::OutputType::audio);
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    if (!_delegate) return;
    std::shared_ptr<vx::MacStream> owner = _stream.lock();
    if (!owner) return;
    _delegate->didStopWithError(*owner, vx::frameworkError(error));
}

@end
