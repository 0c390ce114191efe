// The time the queues, timers and group waits go by: a steady clock that tests may run faster, so
// back-off delays of seconds or minutes pass in milliseconds without changing the code that waits.
#pragma once

#include <QtGlobal>

#include <chrono>

class Clock {
public:
    using Duration = std::chrono::milliseconds;

    // Milliseconds since an arbitrary start, advancing speed() times faster than real time.
    static qint64 nowMs();
    // How much faster than real time the clock runs; 1 unless a test changed it.
    static double speed();
    // For tests: waits and delays made after the call are shortened by this factor (>= 1).
    static void setSpeed(double factor);
    // The real time a wait of this clock's duration takes, never negative.
    static std::chrono::nanoseconds realDuration(Duration d);
    // Sleeps the calling thread for the duration in this clock's time.
    static void sleepFor(Duration d);
};
