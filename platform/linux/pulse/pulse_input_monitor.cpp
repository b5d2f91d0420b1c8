#include "platform/linux/pulse/pulse_input_monitor.h"

namespace vx {

PulseInputMonitor::PulseInputMonitor(pa_mainloop_api* api, Target target, SoundMixer& mixer,
                                     Ended ended)
    : target_(std::move(target)),
      mixer_(mixer),
      lane_(mixer.open()),
      ended_(std::move(ended)),
      connection_(api, "vx-capture player") {}

PulseInputMonitor::~PulseInputMonitor() {
    stream_.reset();
    mixer_.drain(lane_);
}

void PulseInputMonitor::start() {
    if (connection_.connect([this] { record(); }, [this](const Error&) { end(); })) end();
}

void PulseInputMonitor::record() {
    stream_ = std::make_unique<PulseRecordStream>(connection_.context(), "vx-capture player",
                                                  target_.sampleSpec);
    auto error = stream_->connect(
        target_.monitorSource, target_.sinkInput, target_.fragmentFrames, nullptr,
        [this](const float* data, size_t frames) { mixer_.push(lane_, data, frames); },
        [this](const Error&) { end(); });
    if (error) end();
}

void PulseInputMonitor::end() {
    if (over_) return;
    over_ = true;
    mixer_.drain(lane_);
    if (ended_) ended_();
}

}  // namespace vx
