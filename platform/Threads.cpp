#include "platform/Threads.h"

#include <atomic>
#include <cstring>

#include <pthread.h>

namespace Threads {

namespace {
std::atomic<Hook> g_atStart{nullptr};
std::atomic<Hook> g_atEnd{nullptr};

// Ends the thread's hooks even when the body throws (the exception then goes on to terminate).
struct EndHook {
    Hook hook;
    ~EndHook() {
        if (hook) hook();
    }
};
}  // namespace

void setHooks(Hook atStart, Hook atEnd) {
    g_atStart.store(atStart);
    g_atEnd.store(atEnd);
}

std::thread start(const char* name, std::function<void()> body) {
    char shortName[16] = {};
    if (name) std::strncpy(shortName, name, sizeof shortName - 1);
    return std::thread([body = std::move(body), shortName = std::string(shortName)] {
        ::pthread_setname_np(::pthread_self(), shortName.c_str());
        if (Hook hook = g_atStart.load()) hook();
        EndHook end{g_atEnd.load()};
        body();
    });
}

}  // namespace Threads
