// Tests of the notification centre: filtering, changes from inside handlers, removal racing posts.
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(NotificationCenterTest, NameAndObjectFilters) {
    NotificationCenter center;
    int x = 0, y = 0;
    struct Observer {
        const char* label;
        QString name;
        const void* object;
    };
    const Observer observers[] = {
        {"A/any", QStringLiteral("A"), nullptr},
        {"A/x", QStringLiteral("A"), &x},
        {"all/any", QString(), nullptr},
        {"all/y", QString(), &y},
        {"B/x", QStringLiteral("B"), &x},
    };
    QStringList calls;
    for (const Observer& o : observers)
        center.addObserver(o.name, o.object, [&calls, label = QString::fromLatin1(o.label)](const Notification& n) {
            calls << label + QLatin1Char(':') + n.userInfo.value(QStringLiteral("k")).toString();
        });

    struct Post {
        QString name;
        const void* object;
        QStringList expected;  // in the order the observers were added
    };
    const Post posts[] = {
        {QStringLiteral("A"), nullptr, {"A/any:v", "all/any:v"}},
        {QStringLiteral("A"), &x, {"A/any:v", "A/x:v", "all/any:v"}},
        {QStringLiteral("A"), &y, {"A/any:v", "all/any:v", "all/y:v"}},
        {QStringLiteral("B"), &x, {"all/any:v", "B/x:v"}},
        {QStringLiteral("B"), nullptr, {"all/any:v"}},
        {QStringLiteral("a"), &x, {"all/any:v"}},  // names are case-sensitive
        {QString(), &y, {"all/any:v", "all/y:v"}},
    };
    for (const Post& p : posts) {
        SCOPED_TRACE(p.name.toStdString());
        calls.clear();
        center.post(p.name, p.object, {{QStringLiteral("k"), QStringLiteral("v")}});
        EXPECT_EQ(calls, p.expected);
    }
}

TEST(NotificationCenterTest, HandlersMayRemoveAddAndPost) {
    NotificationCenter center;
    const QString N = QStringLiteral("N");
    QStringList calls;
    NotificationCenter::Token self = 0, later = 0, added = 0;

    // Removes itself: called once only.
    self = center.addObserver(N, nullptr, [&](const Notification&) {
        calls << QStringLiteral("self");
        center.removeObserver(self);
        center.removeObserver(self);  // twice, and from inside: harmless
    });
    // Removes an observer that comes later in the same post: that one is not called.
    center.addObserver(N, nullptr, [&](const Notification&) {
        calls << QStringLiteral("remover");
        center.removeObserver(later);
        if (!added)
            added = center.addObserver(N, nullptr, [&](const Notification&) { calls << QStringLiteral("added"); });
    });
    later = center.addObserver(N, nullptr, [&](const Notification&) { calls << QStringLiteral("later"); });
    // Posts another notification from inside a handler.
    center.addObserver(N, nullptr, [&](const Notification&) {
        calls << QStringLiteral("poster");
        center.post(QStringLiteral("Inner"));
    });
    center.addObserver(QStringLiteral("Inner"), nullptr, [&](const Notification&) { calls << QStringLiteral("inner"); });

    center.post(N);
    // The observer added during the post is not called by it.
    EXPECT_EQ(calls, (QStringList{"self", "remover", "poster", "inner"}));
    calls.clear();
    center.post(N);
    EXPECT_EQ(calls, (QStringList{"remover", "poster", "inner", "added"}));
    center.removeObserver(987654);  // an unknown token
}

TEST(NotificationCenterTest, NoCallAfterRemovalReturnsWhilePostsRaceOnOtherThreads) {
    NotificationCenter center;
    constexpr int Rounds = 200;
    std::atomic<int> lateCalls{0}, calls{0};
    for (int round = 0; round < Rounds; ++round) {
        std::atomic<bool> removed{false}, stop{false};
        const auto token = center.addObserver(QStringLiteral("Tick"), nullptr, [&](const Notification&) {
            if (removed) ++lateCalls;
            ++calls;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (removed) ++lateCalls;  // still inside after removeObserver returned
        });
        std::vector<std::thread> posters;
        for (int t = 0; t < 3; ++t)
            posters.emplace_back([&] {
                while (!stop) center.post(QStringLiteral("Tick"));
            });
        std::this_thread::sleep_for(std::chrono::microseconds(300 + round % 7 * 100));
        center.removeObserver(token);
        removed = true;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        stop = true;
        for (auto& p : posters) p.join();
    }
    EXPECT_EQ(lateCalls, 0);
    EXPECT_GT(calls, 0);
}

TEST(NotificationCenterTest, RemovalInsideTheHandlerWaitsOnlyForOtherThreads) {
    // Thread one removes the observer from inside its handler while thread two is inside the
    // same handler: the removal must wait for thread two's call, and must not wait for itself.
    NotificationCenter center;
    std::atomic<bool> twoInside{false}, twoLeft{false}, twoLeftBeforeRemovalReturned{false};
    NotificationCenter::Token token = 0;
    const int one = 1, two = 2;
    token = center.addObserver(QStringLiteral("N"), nullptr, [&](const Notification& n) {
        if (n.object == &two) {
            twoInside = true;
            std::this_thread::sleep_for(100ms);
            twoLeft = true;
        } else {
            while (!twoInside) std::this_thread::yield();
            center.removeObserver(token);
            twoLeftBeforeRemovalReturned = twoLeft.load();
        }
    });
    std::thread threadTwo([&] { center.post(QStringLiteral("N"), &two); });
    std::thread threadOne([&] { center.post(QStringLiteral("N"), &one); });
    threadOne.join();
    threadTwo.join();
    EXPECT_TRUE(twoLeftBeforeRemovalReturned);
    twoInside = false;
    int after = 0;
    center.addObserver(QString(), nullptr, [&](const Notification&) { ++after; });
    center.post(QStringLiteral("N"), &two);
    EXPECT_EQ(after, 1);
    EXPECT_FALSE(twoInside);  // the removed observer stayed silent
}

TEST(NotificationCenterTest, DefaultCenterIsShared) {
    int calls = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        QStringLiteral("QVTestDefaultCenter"), nullptr, [&](const Notification&) { ++calls; });
    NotificationCenter::defaultCenter().post(QStringLiteral("QVTestDefaultCenter"));
    NotificationCenter::defaultCenter().removeObserver(token);
    NotificationCenter::defaultCenter().post(QStringLiteral("QVTestDefaultCenter"));
    EXPECT_EQ(calls, 1);
}

}  // namespace
