// Operation states under one lock per operation; completion blocks and observers run after it
// is released, so they may look at the operation or start others.
#include "platform/Operation.h"

#include "platform/Clock.h"

void Operation::addDependency(const std::shared_ptr<Operation>& other) {
    if (!other || other.get() == this) return;
    std::lock_guard<std::mutex> locker(_lock);
    if (_state != State::Ready) return;
    _dependencies.push_back(other);
}

QList<std::shared_ptr<Operation>> Operation::dependencies() const {
    std::lock_guard<std::mutex> locker(_lock);
    QList<std::shared_ptr<Operation>> out;
    for (const auto& weak : _dependencies)
        if (auto d = weak.lock()) out.append(d);
    return out;
}

void Operation::cancel() {
    std::vector<std::function<void()>> observers;
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (_cancelled || _state == State::Finished) return;
        _cancelled = true;
        observers.swap(_cancelObservers);  // a queue re-checks what it may start
    }
    for (auto& o : observers) o();
}

bool Operation::isCancelled() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _cancelled;
}

bool Operation::isExecuting() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _state == State::Executing;
}

bool Operation::isFinished() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _state == State::Finished;
}

bool Operation::isReady() const {
    std::vector<std::weak_ptr<Operation>> dependencies;
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (_cancelled) return true;  // a cancelled operation need not wait to finish
        dependencies = _dependencies;
    }
    for (const auto& weak : dependencies) {
        auto d = weak.lock();
        if (d && !d->isFinished()) return false;
    }
    return true;
}

void Operation::setCompletionBlock(std::function<void()> block) {
    std::lock_guard<std::mutex> locker(_lock);
    _completionBlock = std::move(block);
}

void Operation::start() {
    if (!isReady()) return;
    bool cancelled;
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (_state != State::Ready) return;
        cancelled = _cancelled;
        _state = State::Executing;
    }
    if (cancelled) {
        finish();
        return;
    }
    // Keeps the operation alive through main() even when its owner lets go meanwhile.
    std::shared_ptr<Operation> self;
    try {
        self = shared_from_this();
    } catch (const std::bad_weak_ptr&) {
    }
    main();
    if (!isAsynchronous()) finish();
}

void Operation::finish() {
    std::function<void()> completion;
    std::vector<std::function<void()>> observers;
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (_state == State::Finished) return;
        _state = State::Finished;
        completion = std::move(_completionBlock);
        _completionBlock = nullptr;
        observers.swap(_finishObservers);
        _cancelObservers.clear();
    }
    _finishedChanged.notify_all();
    if (completion) completion();
    for (auto& o : observers) o();
}

bool Operation::waitUntilFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> locker(_lock);
    return _finishedChanged.wait_for(locker, Clock::realDuration(timeout), [this] { return _state == State::Finished; });
}

QString Operation::name() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _name;
}

void Operation::setName(const QString& name) {
    std::lock_guard<std::mutex> locker(_lock);
    _name = name;
}

void Operation::addFinishObserver(std::function<void()> observer) {
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (_state != State::Finished) {
            _finishObservers.push_back(std::move(observer));
            return;
        }
    }
    observer();
}

void Operation::addCancelObserver(std::function<void()> observer) {
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (!_cancelled) {
            if (_state != State::Finished) _cancelObservers.push_back(std::move(observer));
            return;
        }
    }
    observer();
}
