// Tests of the main queue: ordering, post-and-wait from many threads, delayed calls, draining.
#include "platform/MainQueue.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

class MainQueueTest : public ::testing::Test {
protected:
    void SetUp() override { MainQueue::drain(); }
    void TearDown() override { MainQueue::drain(); }
};

// How the main thread gets to the queued tasks.
enum class Runner { EventLoop, Drain, NestedDrain };

TEST_F(MainQueueTest, ManyPostsRunInOrderFromOneThreadAndAnother) {
    constexpr int N = 5000;
    for (Runner runner : {Runner::EventLoop, Runner::Drain, Runner::NestedDrain}) {
        SCOPED_TRACE(int(runner));
        std::vector<int> seen;
        std::atomic<bool> wrongThread{false};
        auto record = [&](int i) {
            if (!MainQueue::isMainThread()) wrongThread = true;
            seen.push_back(i);
        };
        for (int i = 0; i < N; ++i) {
            if (runner == Runner::NestedDrain && i == N / 2)
                // A task that drains in the middle must not let later tasks overtake earlier ones.
                MainQueue::post([&, i] { record(i); MainQueue::drain(); });
            else
                MainQueue::post([&, i] { record(i); });
        }
        // A worker's posts keep their own order too, after the main thread's.
        std::thread worker([&] {
            for (int i = N; i < 2 * N; ++i) MainQueue::post([&, i] { record(i); });
        });
        worker.join();
        if (runner == Runner::EventLoop)
            EXPECT_TRUE(MainQueue::runUntil([&] { return int(seen.size()) == 2 * N; }, 10s));
        else if (runner == Runner::Drain)
            EXPECT_EQ(MainQueue::drain(), 2 * N);
        else
            EXPECT_EQ(MainQueue::drain(), N / 2 + 1);  // the nested drain ran the rest
        ASSERT_EQ(int(seen.size()), 2 * N);
        for (int i = 0; i < 2 * N; ++i) ASSERT_EQ(seen[size_t(i)], i);
        EXPECT_FALSE(wrongThread);
        EXPECT_EQ(MainQueue::drain(), 0);
    }
}

TEST_F(MainQueueTest, PostAndWaitFromEightThreadsCompletesWhileTheMainThreadWaits) {
    // The main thread is spinning its loop, draining in a loop, or inside a task that spins
    // the loop: in every case each waiting thread gets its task run and sees its result.
    enum class Main { RunUntil, DrainLoop, InsideTask };
    for (Main mode : {Main::RunUntil, Main::DrainLoop, Main::InsideTask}) {
        SCOPED_TRACE(int(mode));
        constexpr int Threads = 8, Calls = 40;
        int counter = 0;  // touched only on the main thread
        std::atomic<int> finished{0}, offMain{0};
        std::vector<std::vector<int>> results(Threads);
        std::vector<std::thread> workers;
        for (int t = 0; t < Threads; ++t) {
            workers.emplace_back([&, t] {
                for (int c = 0; c < Calls; ++c) {
                    int value = -1;
                    MainQueue::postAndWait([&] {
                        if (!MainQueue::isMainThread()) ++offMain;
                        value = ++counter;
                    });
                    results[size_t(t)].push_back(value);
                }
                ++finished;
            });
        }
        auto allDone = [&] { return finished == Threads; };
        switch (mode) {
        case Main::RunUntil:
            EXPECT_TRUE(MainQueue::runUntil(allDone, 20s));
            break;
        case Main::DrainLoop: {
            QElapsedTimer clock;
            clock.start();
            while (!allDone() && clock.elapsed() < 20000) {
                MainQueue::drain();
                std::this_thread::yield();
            }
            EXPECT_TRUE(allDone());
            break;
        }
        case Main::InsideTask: {
            bool inner = false;
            MainQueue::post([&] { inner = MainQueue::runUntil(allDone, 20s); });
            EXPECT_TRUE(MainQueue::runUntil(allDone, 25s));
            MainQueue::drain();
            EXPECT_TRUE(inner);
            break;
        }
        }
        for (auto& w : workers) w.join();
        EXPECT_EQ(offMain, 0);
        EXPECT_EQ(counter, Threads * Calls);
        // Every call saw a distinct value, and each thread's values grow.
        std::vector<bool> taken(size_t(Threads * Calls + 1), false);
        for (const auto& values : results) {
            ASSERT_EQ(int(values.size()), Calls);
            for (size_t i = 0; i < values.size(); ++i) {
                ASSERT_GE(values[i], 1);
                ASSERT_LE(values[i], Threads * Calls);
                EXPECT_FALSE(taken[size_t(values[i])]);
                taken[size_t(values[i])] = true;
                if (i) {
                    EXPECT_GT(values[i], values[i - 1]);
                }
            }
        }
    }
}

TEST_F(MainQueueTest, PostAndWaitOnTheMainThreadRunsInlineAheadOfTheQueue) {
    std::vector<int> order;
    MainQueue::post([&] { order.push_back(1); });
    MainQueue::postAndWait([&] { order.push_back(2); });
    ASSERT_EQ(order, std::vector<int>{2});
    MainQueue::drain();
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
}

TEST_F(MainQueueTest, DelayedCallsRunAfterTheirDelayUnlessCancelled) {
    struct Case {
        const char* name;
        std::chrono::milliseconds delay;
        bool fromWorker;
        bool cancel;
    };
    const Case cases[] = {
        {"main, runs", 150ms, false, false},
        {"main, cancelled", 50ms, false, true},
        {"worker, runs", 150ms, true, false},
        {"worker, cancelled", 50ms, true, true},
        {"zero delay, runs", 0ms, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> ran{false};
        std::atomic<qint64> ranAfter{-1};
        QElapsedTimer clock;
        clock.start();
        auto task = [&] {
            ranAfter = clock.elapsed();
            ran = MainQueue::isMainThread();
        };
        MainQueue::DelayedCall call;
        if (c.fromWorker)
            std::thread([&] { call = MainQueue::after(c.delay, task); }).join();
        else
            call = MainQueue::after(c.delay, task);
        ASSERT_TRUE(call.isValid());
        if (c.cancel) {
            call.cancel();
            call.cancel();  // twice is harmless
            MainQueue::runUntil([] { return false; }, c.delay + 250ms);
            EXPECT_EQ(ranAfter, -1);
        } else {
            EXPECT_TRUE(MainQueue::runUntil([&] { return ranAfter >= 0; }, c.delay + 5s));
            EXPECT_TRUE(ran);
            EXPECT_GE(ranAfter, c.delay.count() - 5);  // timers may round by a millisecond or so
            call.cancel();  // after it ran: nothing happens
        }
    }
    EXPECT_FALSE(MainQueue::DelayedCall().isValid());
    MainQueue::DelayedCall().cancel();  // an empty handle cancels nothing, and does not crash
}

TEST_F(MainQueueTest, MainThreadIdentityAndDrainOffTheMainThread) {
    EXPECT_TRUE(MainQueue::isMainThread());
    bool workerIsMain = true;
    int drainedByWorker = -1;
    std::atomic<bool> ran{false};
    MainQueue::post([&] { ran = true; });
    std::thread([&] {
        workerIsMain = MainQueue::isMainThread();
        drainedByWorker = MainQueue::drain();  // only the main thread runs main-thread work
    }).join();
    EXPECT_FALSE(workerIsMain);
    EXPECT_EQ(drainedByWorker, 0);
    EXPECT_FALSE(ran);
    EXPECT_EQ(MainQueue::drain(), 1);
    EXPECT_TRUE(ran);
}

TEST_F(MainQueueTest, RunUntilSeesAPredicateSetByAnotherThreadAndTimesOut) {
    std::atomic<bool> flag{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        flag = true;  // no post: only the loop's own wake-ups notice it
    });
    // Without its own wake-ups the loop would sleep past any limit, waiting for an event.
    EXPECT_TRUE(MainQueue::runUntil([&] { return flag.load(); }, 60s));
    setter.join();

    // It gives up at its limit after waiting: the predicate is asked again after a wake-up, not
    // only on the way in.
    int asked = 0;
    EXPECT_FALSE(MainQueue::runUntil([&] { return ++asked, false; }, 100ms));
    EXPECT_GE(asked, 3);
}

// The application object ends (a quit) while other threads post, as a reader thread does when its
// client finishes with the editor: wake-ups made on workers and answered on the main thread,
// then workers posting on while the object is deleted. No wake-up reaches the deleted object and
// every task posted waits for a drain. Exits 0 when so.
[[noreturn]] void endTheApplicationWhileThreadsPost() {
    MainQueue::drain();
    std::atomic<int> ran{0};
    std::atomic<int> posted{0};
    std::atomic<bool> stop{false};
    constexpr int Wakes = 8;
    std::vector<std::thread> wakers;
    bool answered = true;
    for (int w = 1; w <= Wakes; ++w) {
        wakers.emplace_back([&] { MainQueue::post([&] { ++ran; }); });
        answered = MainQueue::runUntil([&] { return ran == w; }, 10s) && answered;
    }
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            while (!stop) {
                MainQueue::post([&] { ++ran; });
                ++posted;
                std::this_thread::yield();
            }
        });
    while (posted < 200) std::this_thread::yield();
    QCoreApplication::instance()->~QCoreApplication();
    while (posted < 400) std::this_thread::yield();
    stop = true;
    for (auto& thread : wakers) thread.join();
    for (auto& thread : posters) thread.join();
    MainQueue::drain();
    std::_Exit(answered && ran == Wakes + posted ? 0 : 1);
}

// In a child of its own, where the application object may end.
TEST(MainQueueEnd, PostsWhileTheApplicationEndsWaitForADrain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(endTheApplicationWhileThreadsPost(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
