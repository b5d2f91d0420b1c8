#pragma once
// The sound-server event loop: one thread of its own (libpulse's threaded main
// loop) that runs every callback of the connections and streams made on it.
//
// Pulse objects made on this loop are touched only on its thread or by a thread
// that holds the lock (lock()/unlock(), usable with std::unique_lock); callbacks
// already run with the lock held. The owner destroys the objects made on the loop
// after stop(), or on the loop thread outside their own callbacks (see later()).
#include <functional>
#include <memory>

struct pa_threaded_mainloop;
struct pa_mainloop_api;

namespace vx {

class PulseMainloop {
public:
    // Null when the loop or its thread cannot be made.
    static std::unique_ptr<PulseMainloop> start(const char* threadName);
    // Stops the thread (if still running) and frees the loop. Not on the loop thread.
    ~PulseMainloop();

    PulseMainloop(const PulseMainloop&) = delete;
    PulseMainloop& operator=(const PulseMainloop&) = delete;

    pa_mainloop_api* api() const;

    void lock();
    void unlock();
    // With the lock held, off the loop thread: releases the lock until signal().
    void wait();
    // On the loop thread: wakes every wait().
    void signal();

    // Ends the thread; afterwards no callback runs. Not on the loop thread; idempotent.
    void stop();

    // Runs work on the loop thread once the current callback has returned. On the
    // loop thread or with the lock held. Work still pending at stop() never runs.
    void later(std::function<void()> work);

private:
    struct Free {
        void operator()(pa_threaded_mainloop* loop) const;
    };
    struct Key {};

public:
    PulseMainloop(Key, std::unique_ptr<pa_threaded_mainloop, Free> loop);

private:

    std::unique_ptr<pa_threaded_mainloop, Free> loop_;
    bool running_ = true;
};

}  // namespace vx
