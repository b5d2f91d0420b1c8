#pragma once
// The stand-in's capture stream: once started, it delivers the script's frames
// and audio buffers to the registered outputs on their queues, each kind on its
// own timeline, and stops when the script says so.
#include <map>
#include <memory>
#include <mutex>

#include "platform/sim/sim_script.h"
#include "platform/stream.h"

namespace vx::sim {

class SimStream : public Stream, public std::enable_shared_from_this<SimStream> {
public:
    explicit SimStream(std::shared_ptr<StreamDelegate> delegate);

    std::optional<Error> addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                         std::shared_ptr<SerialQueue> queue) override;
    void startCapture(std::function<void(std::optional<Error>)> completionHandler) override;
    // Noted in the record; with the script's frameWhenWanted, a wanted stream gets
    // that frame soon after.
    void setScreenFramesWanted(bool wanted) override;

private:
    void deliver(OutputType type, std::shared_ptr<const SampleBuffer> sample);
    void playFrames(std::shared_ptr<const Script> script);
    void playAudio(std::shared_ptr<const Script> script);

    std::shared_ptr<StreamDelegate> delegate_;
    std::mutex mutex_;
    std::map<OutputType, std::pair<std::shared_ptr<StreamOutput>, std::shared_ptr<SerialQueue>>>
        outputs_;
};

// The samples the stand-in builds from a script's entries.
std::shared_ptr<const SampleBuffer> makeFrameSample(const ScriptedFrame& frame, int pixels);
std::shared_ptr<const SampleBuffer> makeAudioSample(const ScriptedAudio& audio);

}  // namespace vx::sim
