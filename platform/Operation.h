// A unit of work with dependencies, cancellation and a completion block, run by an OperationQueue
// or started directly. A synchronous operation finishes when main() returns; an asynchronous one
// stays executing until it calls finish(), typically from a network completion.
#pragma once

#include <QList>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class Operation : public std::enable_shared_from_this<Operation> {
public:
    enum class State { Ready, Executing, Finished };

    Operation() = default;
    virtual ~Operation() = default;
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // This operation does not start before the other has finished (cancelled ones finish too).
    // Dependencies added after the operation started are ignored.
    void addDependency(const std::shared_ptr<Operation>& other);
    QList<std::shared_ptr<Operation>> dependencies() const;

    // Marks the operation cancelled. One not yet started finishes without running main() once it
    // is started (a queue starts it as soon as its dependencies allow); a running one sees
    // isCancelled() and decides itself.
    virtual void cancel();
    bool isCancelled() const;
    bool isExecuting() const;
    bool isFinished() const;
    // Every dependency has finished.
    bool isReady() const;
    virtual bool isAsynchronous() const { return false; }

    // Runs once, on the thread that finished the operation, after isFinished() turned true and
    // before operations that depend on this one may start.
    void setCompletionBlock(std::function<void()> block);

    // Runs the operation on the calling thread: finishes at once when cancelled, else main().
    // Starting twice, or an operation that is not ready, does nothing.
    void start();
    // Blocks until finished or the time-out (in Clock time) passes; answers isFinished().
    bool waitUntilFinished(std::chrono::milliseconds timeout);

    QString name() const;
    void setName(const QString& name);

    // Told once the operation finished (at once when it has); queues use it to start dependents.
    void addFinishObserver(std::function<void()> observer);
    // Told when the operation is cancelled, which makes it ready whatever its dependencies.
    void addCancelObserver(std::function<void()> observer);

protected:
    virtual void main() {}
    // Ends an asynchronous operation; ignored when already finished.
    void finish();

private:
    mutable std::mutex _lock;
    std::condition_variable _finishedChanged;
    State _state = State::Ready;
    bool _cancelled = false;
    std::vector<std::weak_ptr<Operation>> _dependencies;
    std::function<void()> _completionBlock;
    std::vector<std::function<void()>> _finishObservers;
    std::vector<std::function<void()>> _cancelObservers;
    QString _name;
};

// An operation made of a function.
class BlockOperation : public Operation {
public:
    explicit BlockOperation(std::function<void()> block) : _block(std::move(block)) {}
    static std::shared_ptr<BlockOperation> make(std::function<void()> block) {
        return std::make_shared<BlockOperation>(std::move(block));
    }

protected:
    void main() override {
        if (_block) _block();
    }

private:
    std::function<void()> _block;
};
