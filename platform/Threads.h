// Starting Qorvel's own threads: every thread is named (what `top -H` and crash reports show) and
// runs the process-wide start and end hooks first and last, which is where crash capture gives each
// thread its own signal stack.
#pragma once

#include <array>
#include <thread>
#include <utility>

namespace Threads {

// Runs on the new thread before its body, and after the body returns (or throws), on that thread.
using Hook = void (*)();

// Installs the hooks every later thread runs; null clears one. Threads already running keep what
// they ran at their start.
void setHooks(Hook atStart, Hook atEnd);

namespace detail {
using Name = std::array<char, 16>;  // the kernel keeps 15 bytes of a thread's name
Name shortName(const char* name);
void begin(const Name& name);
struct End {
    Hook hook;
    End();
    ~End();
};
}  // namespace detail

// A std::thread running body under the name and the hooks. Throws std::system_error as
// std::thread does when no thread can be made.
template <typename Body>
std::thread start(const char* name, Body&& body) {
    return std::thread([name = detail::shortName(name), body = std::forward<Body>(body)]() mutable {
        detail::begin(name);
        detail::End end;
        body();
    });
}

}  // namespace Threads
