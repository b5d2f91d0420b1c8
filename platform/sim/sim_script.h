#pragma once
// The scripted stand-in for the platform, used by the tests.
//
// A Script says what the platform has and does: displays, applications, which
// step fails with which error, which frames and audio buffers the stream
// delivers and when, when the stream stops, and how the compression session
// answers. The stand-in notes every request the program makes as one text line
// in the record (see record()); the lines are listed at the end of this file.
//
// In-process tests call setScript() before using the platform. The test binary
// vx-capture-sim reads its script from the file named by $VX_SIM_SCRIPT and
// appends its record lines to the file named by $VX_SIM_RECORD (each line with
// one write, so nothing is lost when the process ends abruptly).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/sample_buffer.h"
#include "platform/shareable_content.h"

namespace vx::sim {

struct ScriptedFrame {
    int64_t delayMs = 0;   // wait before this frame (after the previous one, or the start)
    int64_t count = 1;     // delivered this many times, delayMs apart
    bool valid = true;
    bool hasImage = true;
    uint8_t fill = 0x80;   // every luma byte of the picture
    // Default: one dictionary holding the status "complete".
    std::optional<AttachmentsArray> attachments = AttachmentsArray{
        AttachmentDictionary{{kStreamFrameInfoStatus, int64_t(kFrameStatusComplete)}}};
};

struct ScriptedAudio {
    int64_t delayMs = 0;
    bool valid = true;
    std::optional<AudioStreamBasicDescription> description;  // absent: no format description
    int64_t numSamples = 0;
    bool bufferListAvailable = true;
    // One entry per buffer of the list; absent: a null data pointer.
    std::vector<std::optional<std::vector<float>>> buffers;
};

struct Script {
    std::vector<Display> displays;
    std::vector<RunningApplication> applications;
    std::optional<Error> contentError;
    // The content query throws instead of answering: "bad_alloc" as std::bad_alloc,
    // any other text as std::runtime_error with that text.
    std::optional<std::string> contentThrow;
    std::map<int, Error> addOutputErrors;   // by output type (0 screen, 1 audio)
    std::optional<Error> startError;
    std::vector<ScriptedFrame> frames;      // screen output
    std::vector<ScriptedAudio> audio;       // audio output
    std::optional<int64_t> stopAfterMs;     // stream stops this long after the start
    Error stopError{-3821, "the stream was stopped"};
    int framePixels = 16;                   // scripted pictures are framePixels square

    // Compression session: status of each creation attempt (missing: 0), whether a
    // successful creation returns no session, and per-key property statuses.
    std::vector<Status> createStatuses;
    bool createReturnsNoSession = false;
    std::map<std::string, Status> propertyStatuses;
    Status encodeStatus = 0;                // what every encodeFrame returns and reports
    int64_t encodeDelayMicroseconds = 0;    // encodeFrame takes this long before it notes the frame
    int64_t outputDelayMicroseconds = 0;    // each output waits this long on the session's queue
    Status prepareStatus = 0;               // what prepareToEncodeFrames returns
    std::string prepareDescription;         // the session's description of that status

    // Delivered once, this long after each setScreenFramesWanted(true), as a stream
    // that grabs a fresh frame for a new reader does; absent: the hint is ignored.
    std::optional<ScriptedFrame> frameWhenWanted;
};

// Replaces the script and clears the record. Call before the program asks anything.
void setScript(Script script);

// Reads a script in the text form of vx-capture-sim (see sim_script_file.h).
Script loadScriptFile(const std::string& path);

// Every request so far, one line each, in order. Any thread.
std::vector<std::string> record();

// Record lines:
//   content excludingDesktopWindows=0 onScreenWindowsOnly=0
//   filter display=<id> excluded=<bundle ids, comma-separated> windows=<count>
//   config <setter> <value>            (one per setter, in the order called)
//   stream delegate=<0|1>
//   addOutput type=<0|1> queue=<label>
//   startCapture
//   session create width=<w> height=<h> codec=avc1 sampleSpec=<keys, comma-separated>
//   session property <key>=<value>
//   session prepare
//   session encode pts=<value>/<timescale> duration=<value>/<timescale> options=<none|ForceKeyFrame> luma=<fill>
//   stream screen-frames wanted=<0|1>

}  // namespace vx::sim
