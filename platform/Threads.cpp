#include "platform/Threads.h"

#include <atomic>
#include <cstring>

#include <pthread.h>

namespace Threads {

namespace {
std::atomic<Hook> g_atStart{nullptr};
std::atomic<Hook> g_atEnd{nullptr};
}  // namespace

void setHooks(Hook atStart, Hook atEnd) {
    g_atStart.store(atStart);
    g_atEnd.store(atEnd);
}

namespace detail {

Name shortName(const char* name) {
    Name result{};
    if (name) std::strncpy(result.data(), name, result.size() - 1);
    return result;
}

void begin(const Name& name) {
    ::pthread_setname_np(::pthread_self(), name.data());
    if (Hook hook = g_atStart.load()) hook();
}

// The end hook is the one in place when the thread started its body.
End::End() : hook(g_atEnd.load()) {}
End::~End() {
    if (hook) hook();
}

}  // namespace detail

}  // namespace Threads
