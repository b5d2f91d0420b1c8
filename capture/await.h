#pragma once
// Waits on the calling thread for a platform call that answers through a
// completion handler. The handler may run on any thread, exactly once.
#include <functional>
#include <future>

namespace vx {

template <typename Result>
Result await(const std::function<void(std::function<void(Result)>)>& call) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto answer = promise->get_future();
    call([promise](Result result) { promise->set_value(std::move(result)); });
    return answer.get();
}

}  // namespace vx
