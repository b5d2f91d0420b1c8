#pragma once
// The Objective-C object the capture framework calls: it adopts SCStreamOutput and
// SCStreamDelegate and forwards to the program's output object (samples, wrapped
// without copies; audio converted to the rate asked for where the framework took
// another) and delegate (the stop, with the error's code and description).
//
// Ownership: the adapter holds the program's output and delegate strongly (the
// stream keeps its outputs and delegate alive, as the boundary promises); the
// MacStream holds its adapters strongly, since the framework does not promise
// to; and an adapter refers back to its MacStream weakly, so nothing holds the
// stream but its owner. Samples arrive on the output's queue, the stop on a
// thread of the framework's. Objective-C++ (ARC) only.
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <memory>

#include "platform/stream.h"

namespace vx {
class MacStream;
class AudioRateConverter;
}

@interface VXStreamAdapter : NSObject <SCStreamOutput, SCStreamDelegate>

// output or delegate may be empty; what is empty is not forwarded. converter,
// when given, turns audio samples to the rate asked for before they are forwarded.
- (instancetype)initWithStream:(std::weak_ptr<vx::MacStream>)stream
                        output:(std::shared_ptr<vx::StreamOutput>)output
                      delegate:(std::shared_ptr<vx::StreamDelegate>)delegate
                     converter:(std::shared_ptr<vx::AudioRateConverter>)converter;

@end
