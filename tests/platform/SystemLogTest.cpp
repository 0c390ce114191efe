// Tests of the system log's replaceable sink.
#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(SystemLogTest, SinkCapturesLinesWithTheirPriorities) {
    std::vector<std::pair<int, QString>> lines;
    SystemLog::setSink([&](int priority, const QString& message) { lines.emplace_back(priority, message); });
    SystemLog::error(QStringLiteral("e"));
    SystemLog::warning(QStringLiteral("w"));
    SystemLog::notice(QStringLiteral("n"));
    SystemLog::log(SystemLog::Debug, QStringLiteral("d ü %s %n"));
    SystemLog::setSink({});
    SystemLog::notice(QStringLiteral("to syslog, not to the old sink"));
    const std::vector<std::pair<int, QString>> expected = {
        {3, QStringLiteral("e")}, {4, QStringLiteral("w")}, {5, QStringLiteral("n")}, {7, QStringLiteral("d ü %s %n")}};
    EXPECT_EQ(lines, expected);
}

TEST(SystemLogTest, WithoutASinkLinesAlsoReachStandardError) {
    // In a child, so the line cannot be lost to a syslog daemon that is missing.
    EXPECT_EXIT(
        {
            SystemLog::setSink({});
            SystemLog::error(QStringLiteral("[Trellis] could not start the kits: marker-41"));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "Qorvel.*: \\[Trellis\\] could not start the kits: marker-41");
}

TEST(SystemLogTest, SinkMayReplaceItselfAndLog) {
    QStringList lines;
    SystemLog::Sink second = [&](int, const QString& m) { lines << QStringLiteral("second:") + m; };
    SystemLog::setSink([&](int, const QString& m) {
        lines << QStringLiteral("first:") + m;
        SystemLog::setSink(second);  // from inside: must not wait for itself
        SystemLog::notice(QStringLiteral("inner"));
    });
    SystemLog::notice(QStringLiteral("outer"));
    SystemLog::notice(QStringLiteral("again"));
    SystemLog::setSink({});
    EXPECT_EQ(lines, (QStringList{"first:outer", "second:inner", "second:again"}));
}

TEST(SystemLogTest, ReplacedSinkIsNeverCalledOnceSetSinkReturns) {
    // Threads keep logging while the sink is swapped; the captured state of each sink is
    // destroyed right after it is replaced, so a late call would be a use after free.
    std::atomic<bool> stop{false};
    std::atomic<int> lateCalls{0}, total{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 4; ++t)
        loggers.emplace_back([&] {
            while (!stop) SystemLog::notice(QStringLiteral("busy"));
        });
    for (int round = 0; round < 200; ++round) {
        auto retired = std::make_shared<std::atomic<bool>>(false);
        auto count = std::make_shared<std::atomic<int>>(0);
        SystemLog::setSink([retired, count, &lateCalls](int, const QString&) {
            if (*retired) ++lateCalls;
            ++*count;
            std::this_thread::yield();
            if (*retired) ++lateCalls;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        SystemLog::setSink([](int, const QString&) {});
        *retired = true;
        total += *count;
    }
    stop = true;
    for (auto& l : loggers) l.join();
    SystemLog::setSink({});
    EXPECT_EQ(lateCalls, 0);
    EXPECT_GT(total, 0);
}

}  // namespace
