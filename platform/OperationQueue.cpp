// Queue threads take the first ready operation in the order added while a slot is free; a finished
// operation frees its slot and wakes the threads, as does a dependency finishing or a cancel.
#include "platform/OperationQueue.h"
#include "platform/Threads.h"

#include "platform/Clock.h"

#include <algorithm>
#include <deque>
#include <map>
#include <thread>

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
    QString label;
    int width = 1;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Operation>> waiting;  // added, not yet started
    int executing = 0;
    int unfinished = 0;
    bool suspended = false;
    bool stopping = false;
    std::vector<std::thread> threads;

    void add(std::shared_ptr<Operation> op);
    void work();
    void wake() {
        std::lock_guard<std::mutex> locker(lock);
        changed.notify_all();
    }
};

namespace {

thread_local const OperationQueue::State* t_currentQueue = nullptr;

// One thread for every delayed addition of every queue.
class Timers {
public:
    static Timers& shared() {
        static Timers* timers = new Timers;  // lives for the process: its thread never stops
        return *timers;
    }
    void schedule(std::chrono::nanoseconds delay, std::function<void()> fire) {
        std::lock_guard<std::mutex> locker(_lock);
        _pending.emplace(std::chrono::steady_clock::now() + delay, std::move(fire));
        if (!_thread.joinable()) _thread = Threads::start("QVOperations", [this] { run(); });
        _changed.notify_all();
    }

private:
    void run() {
        std::unique_lock<std::mutex> locker(_lock);
        for (;;) {
            if (_pending.empty()) {
                _changed.wait(locker);
                continue;
            }
            const auto when = _pending.begin()->first;
            if (std::chrono::steady_clock::now() < when) {
                _changed.wait_until(locker, when);
                continue;
            }
            auto fire = std::move(_pending.begin()->second);
            _pending.erase(_pending.begin());
            locker.unlock();
            fire();
            locker.lock();
        }
    }
    std::mutex _lock;
    std::condition_variable _changed;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> _pending;
    std::thread _thread;
};

}  // namespace

void OperationQueue::State::add(std::shared_ptr<Operation> op) {
    if (!op) return;
    std::weak_ptr<State> weak = weak_from_this();
    auto poke = [weak] {
        if (auto s = weak.lock()) s->wake();
    };
    for (const auto& d : op->dependencies()) d->addFinishObserver(poke);
    {
        std::lock_guard<std::mutex> locker(lock);
        waiting.push_back(op);
        ++unfinished;
        const int wanted = std::min(width, unfinished);
        while (int(threads.size()) < wanted) {
            auto self = shared_from_this();
            threads.push_back(Threads::start("QVOpQueueWorker", [self] { self->work(); }));
        }
        changed.notify_all();
    }
    // Cancelling an operation that waits for its dependencies lets it through at once.
    op->addCancelObserver(poke);
}

void OperationQueue::State::work() {
    t_currentQueue = this;
    std::unique_lock<std::mutex> locker(lock);
    for (;;) {
        std::shared_ptr<Operation> next;
        if ((!suspended || stopping) && executing < width) {
            for (auto it = waiting.begin(); it != waiting.end(); ++it) {
                if ((*it)->isReady()) {
                    next = *it;
                    waiting.erase(it);
                    break;
                }
            }
        }
        if (!next) {
            if (stopping && waiting.empty()) return;
            changed.wait(locker);
            continue;
        }
        ++executing;
        locker.unlock();
        std::weak_ptr<State> weak = weak_from_this();
        // The slot is given back when the operation finishes, which for an asynchronous one is
        // later and on another thread.
        next->addFinishObserver([weak] {
            if (auto s = weak.lock()) {
                std::lock_guard<std::mutex> l(s->lock);
                --s->executing;
                --s->unfinished;
                s->changed.notify_all();
            }
        });
        next->start();
        // start() does nothing to an operation started elsewhere before; it finishes there.
        locker.lock();
    }
}

OperationQueue::OperationQueue(const QString& label, int width) : _state(std::make_shared<State>()) {
    _state->label = label;
    _state->width = std::max(1, width);
}

OperationQueue::~OperationQueue() {
    if (isCurrent()) {
        // The last owner let go from inside the queue's own work: its threads finish what was
        // added (cancelled) on their own and end; nothing here may wait for them.
        std::deque<std::shared_ptr<Operation>> waiting;
        {
            std::lock_guard<std::mutex> locker(_state->lock);
            _state->stopping = true;
            waiting = _state->waiting;
            for (auto& t : _state->threads) t.detach();
            _state->threads.clear();
            _state->changed.notify_all();
        }
        for (auto& op : waiting) op->cancel();
        return;
    }
    std::vector<std::thread> threads;
    std::deque<std::shared_ptr<Operation>> waiting;
    {
        std::lock_guard<std::mutex> locker(_state->lock);
        _state->stopping = true;
        waiting = _state->waiting;
        _state->changed.notify_all();
    }
    for (auto& op : waiting) op->cancel();  // outside the lock: cancelling wakes the queue
    {
        std::unique_lock<std::mutex> locker(_state->lock);
        // Asynchronous operations still out get a bounded wait: one that never finishes must
        // not hang the program at exit. Their observers hold the state only weakly.
        _state->changed.wait_for(locker, std::chrono::seconds(10), [this] { return _state->unfinished == 0; });
        threads.swap(_state->threads);
        _state->changed.notify_all();
    }
    for (auto& t : threads) t.join();
}

OperationQueue& OperationQueue::global() {
    static OperationQueue* queue = new OperationQueue(QStringLiteral("global"), int(std::max(2u, std::thread::hardware_concurrency())));
    return *queue;
}

QString OperationQueue::label() const { return _state->label; }
int OperationQueue::width() const { return _state->width; }

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) { _state->add(std::move(operation)); }

std::shared_ptr<Operation> OperationQueue::async(std::function<void()> block) {
    auto op = BlockOperation::make(std::move(block));
    _state->add(op);
    return op;
}

void OperationQueue::sync(const std::function<void()>& block) {
    if (isCurrent()) {
        block();
        return;
    }
    auto op = async(block);
    while (!op->waitUntilFinished(std::chrono::hours(1))) {
    }
}

std::shared_ptr<Operation> OperationQueue::after(std::chrono::milliseconds delay, std::function<void()> block) {
    auto op = BlockOperation::make(std::move(block));
    std::weak_ptr<State> weak = _state;
    Timers::shared().schedule(Clock::realDuration(delay), [weak, op] {
        auto s = weak.lock();
        if (s && !op->isCancelled()) s->add(op);
    });
    return op;
}

void OperationQueue::setSuspended(bool suspended) {
    std::lock_guard<std::mutex> locker(_state->lock);
    _state->suspended = suspended;
    _state->changed.notify_all();
}

void OperationQueue::cancelAllOperations() {
    std::deque<std::shared_ptr<Operation>> waiting;
    {
        std::lock_guard<std::mutex> locker(_state->lock);
        waiting = _state->waiting;
    }
    for (auto& op : waiting) op->cancel();
}

int OperationQueue::operationCount() const {
    std::lock_guard<std::mutex> locker(_state->lock);
    return _state->unfinished;
}

bool OperationQueue::waitUntilAllOperationsAreFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> locker(_state->lock);
    return _state->changed.wait_for(locker, Clock::realDuration(timeout), [this] { return _state->unfinished == 0; });
}

bool OperationQueue::isCurrent() const { return t_currentQueue == _state.get(); }

struct DispatchGroup::State {
    std::mutex lock;
    std::condition_variable emptied;
    int count = 0;
    std::vector<std::pair<OperationQueue*, std::function<void()>>> notifications;
};

DispatchGroup::DispatchGroup() : _state(std::make_shared<State>()) {}

void DispatchGroup::enter() {
    std::lock_guard<std::mutex> locker(_state->lock);
    ++_state->count;
}

void DispatchGroup::leave() {
    std::vector<std::pair<OperationQueue*, std::function<void()>>> due;
    {
        std::lock_guard<std::mutex> locker(_state->lock);
        if (_state->count == 0) return;  // an unmatched leave is ignored rather than going negative
        if (--_state->count > 0) return;
        due.swap(_state->notifications);
    }
    _state->emptied.notify_all();
    for (auto& [queue, block] : due) queue->async(std::move(block));
}

void DispatchGroup::async(OperationQueue& queue, std::function<void()> block) {
    enter();
    DispatchGroup self = *this;
    queue.async([self, block = std::move(block)]() mutable {
        block();
        self.leave();
    });
}

bool DispatchGroup::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> locker(_state->lock);
    return _state->emptied.wait_for(locker, Clock::realDuration(timeout), [this] { return _state->count == 0; });
}

void DispatchGroup::notify(OperationQueue& queue, std::function<void()> block) {
    {
        std::lock_guard<std::mutex> locker(_state->lock);
        if (_state->count > 0) {
            _state->notifications.emplace_back(&queue, std::move(block));
            return;
        }
    }
    queue.async(std::move(block));
}
