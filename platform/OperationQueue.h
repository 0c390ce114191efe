// Queues of operations and functions on threads of their own: serial (one at a time, in the order
// added among those ready) or concurrent (up to a width). An asynchronous operation holds its slot
// until it finishes, so a serial queue of asynchronous operations still runs one at a time.
#pragma once

#include "platform/Operation.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class OperationQueue {
public:
    // width 1 is a serial queue; the threads are made as work arrives.
    explicit OperationQueue(const QString& label, int width = 1);
    // Cancels what has not started, waits for what runs (asynchronous operations included, at most
    // ten seconds) and stops the threads. From one of the queue's own threads it waits for
    // nothing: the threads end by themselves once the current work returns.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // A shared concurrent queue as wide as the machine, for short work without a home.
    static OperationQueue& global();

    QString label() const;
    int width() const;

    void addOperation(std::shared_ptr<Operation> operation);
    // A function as an operation; answers it so callers can add dependencies or cancel.
    std::shared_ptr<Operation> async(std::function<void()> block);
    // Runs the function on the queue and waits for it. Called from one of the queue's own threads
    // it runs inline instead, where waiting would never end.
    void sync(const std::function<void()>& block);
    // Adds the function after the delay (Clock time) unless the answered handle is cancelled first.
    std::shared_ptr<Operation> after(std::chrono::milliseconds delay, std::function<void()> block);

    // Stops starting operations (those running go on) until resumed.
    void setSuspended(bool suspended);
    void cancelAllOperations();
    // Operations added and not yet finished.
    int operationCount() const;
    // Blocks until every operation added so far has finished or the time-out (Clock time)
    // passes; answers whether they all finished.
    bool waitUntilAllOperationsAreFinished(std::chrono::milliseconds timeout);
    // Whether the calling thread is one of this queue's.
    bool isCurrent() const;

    struct State;

private:
    std::shared_ptr<State> _state;
};

// Work entered and left by several parties, waited for as one.
class DispatchGroup {
public:
    DispatchGroup();
    void enter();
    void leave();
    // Adds a function to the queue inside the group.
    void async(OperationQueue& queue, std::function<void()> block);
    // Blocks until every enter() was matched by a leave() or the time-out (Clock time) passes;
    // answers whether the group emptied.
    bool wait(std::chrono::milliseconds timeout);
    // Runs the function on the queue once the group is empty (at once when it is now).
    void notify(OperationQueue& queue, std::function<void()> block);

private:
    struct State;
    std::shared_ptr<State> _state;
};
