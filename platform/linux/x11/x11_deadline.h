#pragma once
// The start steps that wait on the X server, bounded in time. Xlib has no time-out
// of its own: a server that accepts the connection and never answers (stopped with
// SIGSTOP, or a socket nobody serves) leaves XOpenDisplay and every round-trip
// waiting for ever. Such a step runs on a thread of its own while the caller waits
// at most kX11AnswerDeadline for it.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace vx {

inline constexpr std::chrono::seconds kX11AnswerDeadline{5};

// "X display ":1" did not answer within 5 s": the description of a step that timed out.
inline std::string x11DidNotAnswer(const std::string& displayName) {
    return "X display \"" + displayName + "\" did not answer within " +
           std::to_string(kX11AnswerDeadline.count()) + " s";
}

// Runs step() on a new thread and returns its result, or nothing when it has not
// answered within limit. A step that times out is left behind, blocked on the
// server: it owns what it made (its result lands in state shared with nobody
// waiting), and the process ends soon after, since a start that timed out fails
// the start. Throws std::system_error when no thread can be had.
template <typename Step>
auto answerWithin(std::chrono::milliseconds limit, Step step) -> std::optional<decltype(step())> {
    using Result = decltype(step());
    struct Shared {
        std::mutex mutex;
        std::condition_variable answered;
        std::optional<Result> result;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, step = std::move(step)]() mutable {
        Result result = step();
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->result.emplace(std::move(result));
        shared->answered.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->answered.wait_for(lock, limit, [&] { return shared->result.has_value(); }))
        return std::nullopt;
    return std::move(shared->result);
}

}  // namespace vx
