// A repeating timer that adds its block to an operation queue, and the activities that mark work
// which must not be cut short. There is no sudden or automatic termination to hold off here, so an
// activity holds no token; activity operations keep their role of ending after the work they
// depend on.
#pragma once

#include "platform/Operation.h"
#include "platform/OperationQueue.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class TDGTimer {
public:
    // Starts at once: the first block one interval from now, then every interval.
    TDGTimer(double timeInterval, std::shared_ptr<OperationQueue> queue, QString timerIdentifier, std::function<void()> block);
    // Stops the timer: no block is added after this returns.
    ~TDGTimer();
    double timeInterval() const { return _timeInterval; }
    double tolerance() const { return _timeInterval / 10; }
    QString timerIdentifier() const { return _timerIdentifier; }

private:
    struct State;
    static void schedule(const std::shared_ptr<State>& state);
    double _timeInterval;
    QString _timerIdentifier;
    std::shared_ptr<State> _state;
};

class TDGActivity {
public:
    enum : quint64 { SuddenTerminationDisabled = 0x4000, AutomaticTerminationDisabled = 0x8000, Background = 0xFF };
    static std::shared_ptr<TDGActivity> beginActivity(const QString& reason, quint64 options);
    TDGActivity(QString reason, quint64 options) : _options(options), _reason(std::move(reason)), _active(true) {}
    ~TDGActivity() { end(); }
    // A second call does nothing.
    void end() { _active.store(false); }
    bool isActive() const { return _active.load(); }
    quint64 options() const { return _options; }
    QString reason() const { return _reason; }

private:
    quint64 _options;
    QString _reason;
    std::atomic<bool> _active;
};

class TDGActivityOperation : public Operation {
public:
    static std::shared_ptr<TDGActivityOperation> operationByStartingActivityName(const QString& name, quint64 options);
    std::shared_ptr<TDGActivity> activity() const { return _activity; }

protected:
    void main() override {
        if (_activity) _activity->end();
    }

private:
    std::shared_ptr<TDGActivity> _activity;
};
