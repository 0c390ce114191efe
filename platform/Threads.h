// Starting Qorvel's own threads: every thread is named (what `top -H` and crash reports show) and
// runs the process-wide start and end hooks first and last, which is where crash capture gives each
// thread its own signal stack.
#pragma once

#include <functional>
#include <thread>

namespace Threads {

// Runs on the new thread before its body, and after the body returns (or throws), on that thread.
using Hook = void (*)();

// Installs the hooks every later thread runs; null clears one. Threads already running keep what
// they ran at their start.
void setHooks(Hook atStart, Hook atEnd);

// A std::thread running body under the name (at most 15 bytes are kept by the kernel) and the
// hooks. Throws std::system_error as std::thread does when no thread can be made.
std::thread start(const char* name, std::function<void()> body);

}  // namespace Threads
