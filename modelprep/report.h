// How modelprep reports and how a run ends early.
#pragma once

#include <cstdio>
#include <string_view>

namespace modelprep {

// Thrown to end the run with an exit status; caught only by the run driver,
// so every early end goes through one place and the library stays testable.
struct FatalExit {
  int status = 1;
};

// Writes `line` and a newline to `stream` and flushes it at once, so the
// message is complete even if the process is killed right after.
void printLine(std::FILE *stream, std::string_view line);

// Prints `line` on standard error and ends the run with status 1.
[[noreturn]] void fail(std::string_view line);

}  // namespace modelprep
