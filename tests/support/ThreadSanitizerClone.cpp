// Linked into the test programs of the ThreadSanitizer build only (scripts/test-sanitizers thread).
// Clang 16's ThreadSanitizer treats every clone() as a fork: it locks its own state around the
// call and takes it up again in the child. A child that shares the parent's memory (CLONE_VM: the
// vfork-like start Qt's QProcess makes, crash capture's thread reader) then finds that state held
// and the runtime stops the whole program on its own check, so any test that starts a program
// through QProcess ended there. Such a child only execs or reads, sharing the parent's memory by
// design; it goes straight to the C library, as later runtimes do. Every other clone keeps the
// runtime's handling.
#include <dlfcn.h>
#include <sched.h>

#include <cstdarg>

// The runtime's own handling, under the name it keeps beside the one this file takes over.
extern "C" int __interceptor_clone(int (*function)(void*), void* stack, int flags, void* argument, ...);

extern "C" int clone(int (*function)(void*), void* stack, int flags, void* argument, ...) noexcept {
    va_list rest;
    va_start(rest, argument);
    pid_t* parentTid = va_arg(rest, pid_t*);
    void* tls = va_arg(rest, void*);
    pid_t* childTid = va_arg(rest, pid_t*);
    va_end(rest);
    if (!(flags & CLONE_VM)) return __interceptor_clone(function, stack, flags, argument, parentTid, tls, childTid);
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto library = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    return library(function, stack, flags, argument, parentTid, tls, childTid);
}
