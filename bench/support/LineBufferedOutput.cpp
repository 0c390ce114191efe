// Every benchmark program writes its standard output a line at a time, so that one stopped at
// its time limit leaves on its page what it had measured. This is done inside the program, not
// by starting it under stdbuf: stdbuf's preloaded library and its variables pass to every
// program a benchmark starts, and a peer such as find would then write each line with its own
// system call, which no user's find does.
#include <cstdio>

namespace {

[[maybe_unused]] const bool lineBuffered = [] { return std::setvbuf(stdout, nullptr, _IOLBF, 0) == 0; }();

}  // namespace
