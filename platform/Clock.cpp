// The scaled clock: real steady time, multiplied by the speed from the moment the speed was set.
#include "platform/Clock.h"

#include <mutex>
#include <thread>

namespace {

struct ClockState {
    std::mutex lock;
    double speed = 1;
    std::chrono::steady_clock::time_point realBase = std::chrono::steady_clock::now();
    double scaledBaseMs = 0;
};

ClockState& clockState() {
    static ClockState state;
    return state;
}

double realMsSince(std::chrono::steady_clock::time_point base) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - base).count();
}

}  // namespace

qint64 Clock::nowMs() {
    ClockState& s = clockState();
    std::lock_guard<std::mutex> locker(s.lock);
    return qint64(s.scaledBaseMs + realMsSince(s.realBase) * s.speed);
}

double Clock::speed() {
    ClockState& s = clockState();
    std::lock_guard<std::mutex> locker(s.lock);
    return s.speed;
}

void Clock::setSpeed(double factor) {
    ClockState& s = clockState();
    std::lock_guard<std::mutex> locker(s.lock);
    // The clock keeps running from where it stands, only its pace changes.
    s.scaledBaseMs += realMsSince(s.realBase) * s.speed;
    s.realBase = std::chrono::steady_clock::now();
    s.speed = factor < 1 ? 1 : factor;
}

std::chrono::nanoseconds Clock::realDuration(Duration d) {
    if (d.count() <= 0) return std::chrono::nanoseconds(0);
    const double ns = double(d.count()) * 1e6 / speed();
    return std::chrono::nanoseconds(qint64(std::min(ns, 1e18)));
}

void Clock::sleepFor(Duration d) {
    std::this_thread::sleep_for(realDuration(d));
}
