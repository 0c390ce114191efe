// Time bounds that hold on a busy machine and under a sanitizer: a bound measured on an idle
// machine, stretched by how much slower work runs here and now.
#pragma once

#include "tests/support/Sanitizers.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdint>

#include <time.h>

// How many times longer than on an idle machine work takes now: a fixed computation's wall time
// over the processor time it was given (a thread that shares its core waits for it in between),
// the worst of three tries, at least 1. Measured when asked: the load comes and goes.
inline double machinePace() {
    auto seconds = [](clockid_t clock) {
        timespec now{};
        ::clock_gettime(clock, &now);
        return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
    };
    double worst = 1.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const double wall = seconds(CLOCK_MONOTONIC), cpu = seconds(CLOCK_THREAD_CPUTIME_ID);
        volatile std::uint64_t sum = 0;
        for (std::uint64_t i = 0; i < 4000000; ++i) sum = sum + i * i;
        const double wallTaken = seconds(CLOCK_MONOTONIC) - wall, cpuTaken = seconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
        if (cpuTaken > 0) worst = std::max(worst, wallTaken / cpuTaken);
    }
    return worst;
}

// What a sanitizer's runtime adds to every step the code under test takes.
constexpr double sanitizerSlowdown() { return underThreadSanitizer() ? 6.0 : underAddressSanitizer() ? 3.0 : 1.0; }

// A bound of idleMilliseconds on an idle machine without a sanitizer, for the machine as it is now.
inline qint64 pacedBound(qint64 idleMilliseconds) { return qint64(double(idleMilliseconds) * sanitizerSlowdown() * machinePace()); }
