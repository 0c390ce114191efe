// Work handed to the main thread: a locked task list woken by one queued call on the Qt event loop.
#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace {

// Tasks are taken one at a time from the front of one shared list, never in private batches, so
// a task that spins the event loop or drains (a nested run) keeps the posting order intact.
struct QueueState {
    std::mutex lock;
    std::deque<MainQueue::Task> tasks;
    bool wakePending = false;  // a queued call to runQueued is on its way; later posts need none
};

// Never destroyed: threads of Qorvel's own (file watchers, transfers) may still post while the
// process runs its exit handlers, and a destroyed list would be written after its end.
QueueState& queue() {
    static QueueState* state = new QueueState;
    return *state;
}

// Runs tasks from the front. A wake-up runs only as many as were queued when it began and leaves
// later ones to the wake-up their post scheduled, so a task that re-posts itself cannot starve
// the event loop; a drain runs until the list is empty.
int runQueued(bool untilEmpty) {
    QueueState& q = queue();
    std::size_t budget;
    {
        std::lock_guard<std::mutex> locker(q.lock);
        q.wakePending = false;
        budget = q.tasks.size();
    }
    int ran = 0;
    for (;;) {
        MainQueue::Task task;
        {
            std::lock_guard<std::mutex> locker(q.lock);
            if (q.tasks.empty() || (!untilEmpty && std::size_t(ran) >= budget)) break;
            task = std::move(q.tasks.front());
            q.tasks.pop_front();
        }
        if (task) task();
        ++ran;
    }
    return ran;
}

// The wake-up is a queued call by name to an object the main thread made: Qt makes and frees its
// event inside its own library, so nothing a posting thread writes is touched on the main thread
// outside the task list's lock. (A queued lambda would be allocated here and freed there, ordered
// only by a lock inside Qt that ThreadSanitizer cannot see.)
class Waker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~Waker() override;
    Q_INVOKABLE void wake() { runQueued(false); }
};

// A wake-up holds this lock from finding the waker until Qt has its call, and the waker's end
// takes it: a thread posting while the application object ends (a reader thread whose client
// finishes as the editor quits) never calls into a waker being deleted. Qt's own posting lock
// would not stop that, and ThreadSanitizer cannot see it.
std::mutex wakerLock;
Waker* currentWaker = nullptr;

Waker::~Waker() {
    std::lock_guard<std::mutex> locker(wakerLock);
    currentWaker = nullptr;
}

// Made with each application object, on its thread, and gone with it.
void makeWaker() {
    auto* waker = new Waker(QCoreApplication::instance());
    std::lock_guard<std::mutex> locker(wakerLock);
    currentWaker = waker;
}
Q_COREAPP_STARTUP_FUNCTION(makeWaker)

// Without an application object there is no event loop to wake; the tasks wait for a drain().
bool scheduleWake() {
    std::lock_guard<std::mutex> locker(wakerLock);
    return currentWaker && QMetaObject::invokeMethod(currentWaker, "wake", Qt::QueuedConnection);
}

}  // namespace

void MainQueue::DelayedCall::cancel() {
    if (_cancelled) _cancelled->store(true);
}

void MainQueue::post(Task task) {
    QueueState& q = queue();
    bool wake = false;
    {
        std::lock_guard<std::mutex> locker(q.lock);
        q.tasks.push_back(std::move(task));
        if (!q.wakePending) q.wakePending = wake = true;
    }
    if (wake && !scheduleWake()) {
        std::lock_guard<std::mutex> locker(q.lock);
        q.wakePending = false;
    }
}

void MainQueue::postAndWait(Task task) {
    if (isMainThread()) {
        if (task) task();
        return;
    }
    struct Completion {
        std::mutex lock;
        std::condition_variable finished;
        bool done = false;
    };
    auto completion = std::make_shared<Completion>();
    post([task = std::move(task), completion] {
        // Signals even when the task throws, so the waiting thread is never left behind.
        struct Signal {
            Completion& c;
            ~Signal() {
                std::lock_guard<std::mutex> locker(c.lock);
                c.done = true;
                c.finished.notify_all();
            }
        } signal{*completion};
        if (task) task();
    });
    std::unique_lock<std::mutex> locker(completion->lock);
    completion->finished.wait(locker, [&] { return completion->done; });
}

MainQueue::DelayedCall MainQueue::after(std::chrono::milliseconds delay, Task task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    // The delay counts from this call even when the timer can only be started later, on the
    // main thread.
    const auto deadline = std::chrono::steady_clock::now() + delay;
    auto start = [cancelled, deadline, task = std::move(task)] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        QTimer::singleShot(std::max(left, std::chrono::milliseconds(0)),
                           QCoreApplication::instance(), [cancelled, task] {
                               // exchange: a call that ran counts as used, so cancel() after it is moot.
                               if (!cancelled->exchange(true) && task) task();
                           });
    };
    if (isMainThread())
        start();
    else
        post(std::move(start));
    return DelayedCall(std::move(cancelled));
}

bool MainQueue::isMainThread() {
    if (QCoreApplication* app = QCoreApplication::instance())
        return QThread::currentThread() == app->thread();
    // Before the application object exists the main thread is the process's first thread.
    return gettid() == getpid();
}

int MainQueue::drain() {
    if (!isMainThread()) return 0;
    return runQueued(true);
}

bool MainQueue::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    if (predicate()) return true;

    if (!isMainThread() || !QCoreApplication::instance()) {
        // No event loop of ours to spin here: run what is queued (on the main thread) and poll.
        while (clock.elapsed() < timeout.count()) {
            drain();
            if (predicate()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return predicate();
    }

    // Waiting for events sleeps until one arrives; the tick wakes the loop now and then so a
    // predicate made true by another thread without posting anything is still seen in time.
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.start(std::chrono::milliseconds(5));
    for (;;) {
        if (predicate()) return true;
        if (clock.elapsed() >= timeout.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

#include "MainQueue.moc"
