#include "kits/tidings/TDGTimer.h"

#include <chrono>
#include <mutex>

struct TDGTimer::State {
    std::mutex lock;
    bool stopped = false;
    std::shared_ptr<Operation> pending;
    std::chrono::milliseconds interval{0};
    std::weak_ptr<OperationQueue> queue;
    std::function<void()> block;
};

TDGTimer::TDGTimer(double timeInterval, std::shared_ptr<OperationQueue> queue, QString timerIdentifier, std::function<void()> block)
    : _timeInterval(timeInterval), _timerIdentifier(std::move(timerIdentifier)), _state(std::make_shared<State>()) {
    const double ms = std::clamp(timeInterval * 1000.0, 1.0, 1e12);
    _state->interval = std::chrono::milliseconds(qint64(ms));
    _state->queue = queue;
    _state->block = std::move(block);
    schedule(_state);
}

TDGTimer::~TDGTimer() {
    std::lock_guard<std::mutex> locker(_state->lock);
    _state->stopped = true;
    if (_state->pending) _state->pending->cancel();
}

void TDGTimer::schedule(const std::shared_ptr<State>& state) {
    std::weak_ptr<State> weak = state;
    std::lock_guard<std::mutex> locker(state->lock);
    if (state->stopped) return;
    state->pending = OperationQueue::global().after(state->interval, [weak] {
        auto s = weak.lock();
        if (!s) return;
        {
            std::lock_guard<std::mutex> locker(s->lock);
            if (s->stopped) return;
            if (auto q = s->queue.lock()) q->async(s->block);
        }
        schedule(s);
    });
}

std::shared_ptr<TDGActivity> TDGActivity::beginActivity(const QString& reason, quint64 options) {
    return std::make_shared<TDGActivity>(reason, options);
}

std::shared_ptr<TDGActivityOperation> TDGActivityOperation::operationByStartingActivityName(const QString& name, quint64 options) {
    auto op = std::make_shared<TDGActivityOperation>();
    op->_activity = TDGActivity::beginActivity(name, options);
    op->setName(name);
    return op;
}
