#include "platform/sim/sim_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace vx::sim {

namespace {

struct State {
    std::mutex mutex;
    std::shared_ptr<const Script> script;
    std::vector<std::string> lines;
    int recordFd = -1;
    bool loaded = false;
};

State& state() {
    // Never destroyed: sample threads may still note lines while the process ends.
    static State* shared = new State;
    return *shared;
}

void loadFromEnvironmentLocked(State& s) {
    if (s.loaded) return;
    s.loaded = true;
    const char* scriptPath = std::getenv("VX_SIM_SCRIPT");
    s.script = std::make_shared<const Script>(scriptPath ? loadScriptFile(scriptPath) : Script{});
    if (const char* recordPath = std::getenv("VX_SIM_RECORD"))
        s.recordFd = ::open(recordPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

}  // namespace

void setScript(Script script) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.loaded = true;
    s.script = std::make_shared<const Script>(std::move(script));
    s.lines.clear();
}

std::shared_ptr<const Script> currentScript() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    loadFromEnvironmentLocked(s);
    return s.script;
}

std::vector<std::string> record() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.lines;
}

void note(const std::string& line) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.mutex);
    loadFromEnvironmentLocked(s);
    s.lines.push_back(line);
    if (s.recordFd >= 0) {
        std::string withNewline = line + "\n";
        ssize_t ignored = ::write(s.recordFd, withNewline.data(), withNewline.size());
        (void)ignored;
    }
}

}  // namespace vx::sim
