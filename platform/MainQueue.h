// Work handed to the main thread's Qt event loop: post, post-and-wait and delayed calls.
#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>
#include <atomic>
#include <memory>

class MainQueue {
public:
    using Task = std::function<void()>;

    // Cancels a delayed call that has not run yet; cancelling twice or after it ran does nothing.
    class DelayedCall {
    public:
        DelayedCall() = default;
        explicit DelayedCall(std::shared_ptr<std::atomic<bool>> cancelled) : _cancelled(std::move(cancelled)) {}
        void cancel();
        bool isValid() const { return bool(_cancelled); }

    private:
        std::shared_ptr<std::atomic<bool>> _cancelled;
    };

    // Queues the task to run on the main thread, in posting order; never blocks.
    static void post(Task task);
    // Runs the task on the main thread and waits for it; runs it inline on the main thread.
    // The main thread may be in its event loop, in drain() or in runUntil(): each runs the task.
    static void postAndWait(Task task);
    // Runs the task on the main thread after the delay unless cancelled first. Cancelling on the
    // main thread before the delay ends always wins; from another thread it may race the call.
    static DelayedCall after(std::chrono::milliseconds delay, Task task);

    static bool isMainThread();
    // Runs every task queued so far (and those they queue) on the calling main thread;
    // answers how many ran. For tests and for shutdown. Off the main thread it runs nothing.
    static int drain();
    // Spins the event loop until the predicate holds or the time-out passes; answers the predicate.
    static bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
};
