// Runs remote actions to their outcome in tests: a delegate that waits (bounded) for it.
#pragma once

#include "files/QVRemoteFileAction.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

class OutcomeWaiter : public QVRemoteFileActionDelegate {
public:
    struct Outcome {
        bool result;
        int statusCode;
    };
    void actionFinished(QVRemoteFileAction*, bool result, int statusCode) override {
        std::lock_guard guard(_lock);
        _outcomes.push_back({result, statusCode});
        _changed.notify_all();
    }
    // The first outcome, or none when nothing came within the time.
    std::optional<Outcome> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock guard(_lock);
        if (!_changed.wait_for(guard, timeout, [&] { return !_outcomes.empty(); })) return std::nullopt;
        return _outcomes.front();
    }
    size_t count() {
        std::lock_guard guard(_lock);
        return _outcomes.size();
    }

private:
    std::mutex _lock;
    std::condition_variable _changed;
    std::vector<Outcome> _outcomes;
};

// Runs the action and answers its outcome ("none" when it never reported).
inline std::optional<OutcomeWaiter::Outcome> runToOutcome(const std::shared_ptr<QVRemoteFileAction>& action,
                                                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto waiter = std::make_shared<OutcomeWaiter>();
    action->runWithDelegate(waiter);
    return waiter->wait(timeout);
}
