// The serial queue on libdispatch: dispatch_queue_create with the queue's label,
// no attributes and no target queue. Dispatch keeps a queue alive while work is
// pending, so work submitted before the last release still runs.
#include "platform/macos/serial_queue_native.h"

namespace vx {

namespace {

// Marks each queue with its own Native, so that a work item can tell whether it
// runs on a given queue.
char kQueueIdentity;

void runWork(void* context) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(context));
    (*work)();
}

}  // namespace

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), native_(std::make_unique<Native>()) {
    native_->queue = dispatch_queue_create(label_.c_str(), DISPATCH_QUEUE_SERIAL);
    dispatch_queue_set_specific(native_->queue, &kQueueIdentity, native_.get(), nullptr);
}

SerialQueue::~SerialQueue() = default;

void SerialQueue::async(std::function<void()> work) {
    // The work item travels as one heap object, moved in here and freed after it ran.
    auto item = std::make_unique<std::function<void()>>(std::move(work));
    dispatch_async_f(native_->queue, item.release(), runWork);
}

bool SerialQueue::isCurrent() const { return dispatch_get_specific(&kQueueIdentity) == native_.get(); }

}  // namespace vx
