// Operations and queues: ordering and width, dependencies across queues, cancellation, asynchronous
// finish, delays and group waits on a sped-up clock.
#include "platform/Clock.h"
#include "platform/OperationQueue.h"


#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

struct SpeedGuard {
    explicit SpeedGuard(double f) { Clock::setSpeed(f); }
    ~SpeedGuard() { Clock::setSpeed(1); }
};

TEST(OperationQueueTest, WidthOrderAndSuspension) {
    for (int width : {1, 3}) {
        OperationQueue queue(QStringLiteral("test"), width);
        queue.setSuspended(true);
        std::atomic<int> running{0}, most{0};
        std::mutex lock;
        std::vector<int> order;
        for (int i = 0; i < 12; ++i) {
            queue.async([&, i] {
                const int now = ++running;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
                {
                    std::lock_guard<std::mutex> l(lock);
                    order.push_back(i);
                }
                --running;
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_TRUE(order.empty()) << "a suspended queue started work";
        EXPECT_EQ(queue.operationCount(), 12);
        queue.setSuspended(false);
        ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(std::chrono::seconds(5)));
        EXPECT_EQ(most.load(), width);
        ASSERT_EQ(order.size(), 12u);
        for (int i = 0; width == 1 && i < 12; ++i) EXPECT_EQ(order[size_t(i)], i);
        EXPECT_EQ(queue.operationCount(), 0);
    }
}

TEST(OperationQueueTest, DependenciesCancellationAndCompletionBlocks) {
    OperationQueue first(QStringLiteral("first")), second(QStringLiteral("second"), 4);
    std::mutex lock;
    QStringList log;
    auto note = [&](const QString& s) {
        std::lock_guard<std::mutex> l(lock);
        log << s;
    };
    auto a = BlockOperation::make([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        note("a");
    });
    auto b = BlockOperation::make([&] { note("b"); });
    auto c = BlockOperation::make([&] { note("c"); });
    auto cancelled = BlockOperation::make([&] { note("never"); });
    c->addDependency(a);
    c->addDependency(b);
    c->addDependency(cancelled);
    b->setCompletionBlock([&] { note("b done"); });
    cancelled->setCompletionBlock([&] { note("cancelled done"); });
    cancelled->addDependency(a);
    second.addOperation(c);          // added first, runs last
    second.addOperation(cancelled);
    cancelled->cancel();             // finishes without waiting for a
    first.addOperation(a);
    second.addOperation(b);
    ASSERT_TRUE(c->waitUntilFinished(std::chrono::seconds(5)));
    ASSERT_TRUE(second.waitUntilAllOperationsAreFinished(std::chrono::seconds(5)));
    EXPECT_EQ(log.last(), "c");
    EXPECT_FALSE(log.contains("never"));
    EXPECT_LT(log.indexOf("cancelled done"), log.indexOf("a"));
    EXPECT_LT(log.indexOf("b"), log.indexOf("b done"));
    EXPECT_TRUE(cancelled->isFinished() && cancelled->isCancelled() && !cancelled->isExecuting());

    // A cancelled operation started by hand finishes without main; starting twice runs once.
    int runs = 0;
    auto twice = BlockOperation::make([&] { ++runs; });
    twice->start();
    twice->start();
    EXPECT_EQ(runs, 1);

    // Operations still waiting when their queue goes away are cancelled, not run.
    std::atomic<bool> ran{false};
    std::shared_ptr<Operation> pending;
    {
        OperationQueue gone(QStringLiteral("gone"));
        gone.setSuspended(true);
        pending = gone.async([&] { ran = true; });
    }
    EXPECT_TRUE(pending->isFinished());
    EXPECT_TRUE(pending->isCancelled());
    EXPECT_FALSE(ran);
}

class LaterOperation : public Operation {
public:
    bool isAsynchronous() const override { return true; }
    void main() override {
        std::thread([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            finish();
        }).detach();
    }
};

TEST(OperationQueueTest, AsynchronousOperationsHoldTheirSlotAndSyncRunsInline) {
    OperationQueue queue(QStringLiteral("serial"));
    auto later = std::make_shared<LaterOperation>();
    std::atomic<bool> laterWasFinished{false};
    queue.addOperation(later);
    queue.async([&] { laterWasFinished = later->isFinished(); });
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(std::chrono::seconds(5)));
    EXPECT_TRUE(laterWasFinished);

    // sync from the queue's own thread would wait for itself: it runs inline.
    int value = 0;
    queue.sync([&] { queue.sync([&] { value = 7; }); });
    EXPECT_EQ(value, 7);
}

TEST(OperationQueueTest, DelaysAndGroupWaitsFollowTheSpedUpClock) {
    SpeedGuard fast(1000);
    OperationQueue queue(QStringLiteral("timers"), 2);
    std::atomic<bool> fired{false}, cancelledFired{false};
    queue.after(std::chrono::seconds(60), [&] { fired = true; });  // 60 ms of real time
    auto dropped = queue.after(std::chrono::seconds(30), [&] { cancelledFired = true; });
    dropped->cancel();

    DispatchGroup group;
    group.enter();
    EXPECT_FALSE(group.wait(std::chrono::seconds(20)));  // 20 ms real, the group still full
    std::atomic<bool> notified{false};
    group.notify(queue, [&] { notified = true; });
    group.async(queue, [] { Clock::sleepFor(std::chrono::seconds(10)); });
    group.leave();
    group.leave();  // unmatched: ignored
    // An hour of the sped-up clock is 3.6 s: a delay or a wait on the real clock (60 s, 10 s)
    // would outlast it, however busy the machine.
    EXPECT_TRUE(group.wait(std::chrono::hours(1)));
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(std::chrono::hours(1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(std::chrono::hours(1)));
    EXPECT_TRUE(fired);
    EXPECT_FALSE(cancelledFired);
    EXPECT_TRUE(notified);
}

}  // namespace
