// The text form of a script, as vx-capture-sim reads it from $VX_SIM_SCRIPT.
// One item per line; '#' starts a comment line. A line that cannot be read is
// reported on standard error and ends the process with status 99, so that a
// broken test script never passes silently.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/sim/sim_script.h"

namespace vx::sim {

namespace {

[[noreturn]] void badScript(const std::string& line) {
    std::string message = "vx-capture-sim: cannot read script line: " + line + "\n";
    ssize_t ignored = ::write(2, message.data(), message.size());
    (void)ignored;
    ::_exit(99);
}

std::string rest(std::istringstream& in) {
    std::string text;
    std::getline(in, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    return text;
}

Error readError(std::istringstream& in) {
    Error error;
    in >> error.code;
    error.description = rest(in);
    return error;
}

// "key=value" into key and value; a bare word has an empty value.
std::pair<std::string, std::string> splitWord(const std::string& word) {
    auto equals = word.find('=');
    if (equals == std::string::npos) return {word, ""};
    return {word.substr(0, equals), word.substr(equals + 1)};
}

ScriptedFrame readFrame(std::istringstream& in, const std::string& line) {
    ScriptedFrame frame;
    if (!(in >> frame.delayMs)) badScript(line);
    std::string word;
    while (in >> word) {
        auto [key, value] = splitWord(word);
        if (key == "count") frame.count = std::stoll(value);
        else if (key == "fill") frame.fill = uint8_t(std::stoi(value));
        else if (key == "invalid") frame.valid = false;
        else if (key == "noimage") frame.hasImage = false;
        else if (key == "status" && value == "text")
            frame.attachments = AttachmentsArray{{{kStreamFrameInfoStatus, std::string("complete")}}};
        else if (key == "status")
            frame.attachments = AttachmentsArray{{{kStreamFrameInfoStatus, int64_t(std::stoll(value))}}};
        else if (key == "attachments" && value == "none") frame.attachments.reset();
        else if (key == "attachments" && value == "empty") frame.attachments = AttachmentsArray{};
        else if (key == "attachments" && value == "emptydict") frame.attachments = AttachmentsArray{{}};
        else if (key == "attachments" && value == "nostatus")
            frame.attachments = AttachmentsArray{{{"SCStreamFrameInfoDisplayTime", int64_t(1)}}};
        else badScript(line);
    }
    return frame;
}

std::vector<float> readFloats(const std::string& list) {
    std::vector<float> values;
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) values.push_back(std::strtof(item.c_str(), nullptr));
    return values;
}

ScriptedAudio readAudio(std::istringstream& in, const std::string& line) {
    ScriptedAudio audio;
    AudioStreamBasicDescription description;
    description.mSampleRate = 48000;
    bool hasFormat = true;
    if (!(in >> audio.delayMs)) badScript(line);
    std::string word;
    while (in >> word) {
        auto [key, value] = splitWord(word);
        if (key == "invalid") audio.valid = false;
        else if (key == "noformat") hasFormat = false;
        else if (key == "nolist") audio.bufferListAvailable = false;
        else if (key == "format")
            description.mFormatID = value == "lpcm" ? kAudioFormatLinearPCM
                                                    : uint32_t(std::stoul(value, nullptr, 16));
        else if (key == "flags") description.mFormatFlags = uint32_t(std::stoul(value));
        else if (key == "bits") description.mBitsPerChannel = uint32_t(std::stoul(value));
        else if (key == "channels") description.mChannelsPerFrame = uint32_t(std::stoul(value));
        else if (key == "rate") description.mSampleRate = std::stod(value);
        else if (key == "frames") audio.numSamples = std::stoll(value);
        else if (key == "buffer" && value == "null") audio.buffers.emplace_back(std::nullopt);
        else if (key == "buffer") audio.buffers.emplace_back(readFloats(value));
        else badScript(line);
    }
    if (hasFormat) audio.description = description;
    return audio;
}

}  // namespace

Script loadScriptFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) badScript("(cannot open " + path + ")");
    Script script;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream in(line);
        std::string item;
        if (!(in >> item) || item[0] == '#') continue;
        try {
            if (item == "display") {
                Display display;
                if (!(in >> display.displayID >> display.width >> display.height)) badScript(line);
                script.displays.push_back(display);
            } else if (item == "app") {
                script.applications.push_back(RunningApplication{rest(in)});
            } else if (item == "content-error") {
                script.contentError = readError(in);
            } else if (item == "content-throw") {
                script.contentThrow = rest(in);
            } else if (item == "output-error") {
                int type = 0;
                in >> type;
                script.addOutputErrors[type] = readError(in);
            } else if (item == "start-error") {
                script.startError = readError(in);
            } else if (item == "stop-after") {
                int64_t ms = 0;
                in >> ms;
                script.stopAfterMs = ms;
                script.stopError = readError(in);
            } else if (item == "frame-pixels") {
                in >> script.framePixels;
            } else if (item == "frame") {
                script.frames.push_back(readFrame(in, line));
            } else if (item == "audio") {
                script.audio.push_back(readAudio(in, line));
            } else if (item == "encoder-create") {
                Status status;
                while (in >> status) script.createStatuses.push_back(status);
            } else if (item == "encoder-nosession") {
                script.createReturnsNoSession = true;
            } else if (item == "encoder-property") {
                std::string key;
                Status status = 0;
                if (!(in >> key >> status)) badScript(line);
                script.propertyStatuses[key] = status;
            } else if (item == "encoder-status") {
                in >> script.encodeStatus;
            } else if (item == "encoder-delay") {
                if (!(in >> script.encodeDelayMicroseconds)) badScript(line);
            } else if (item == "encoder-latency") {
                if (!(in >> script.outputDelayMicroseconds)) badScript(line);
            } else if (item == "encoder-prepare") {
                if (!(in >> script.prepareStatus)) badScript(line);
                script.prepareDescription = rest(in);
            } else if (item == "frame-when-wanted") {
                script.frameWhenWanted = readFrame(in, line);
            } else {
                badScript(line);
            }
        } catch (const std::exception&) {
            badScript(line);
        }
    }
    return script;
}

}  // namespace vx::sim
