// Why a run failed, as one line for people on standard error beside the
// fixed failure line on standard output. The layer that meets the cause
// records it; the main flow prints it once when the run fails. The first
// cause recorded stands: what follows it is mostly its consequence (a line
// that hung up also leaves the "OK" missing).
#pragma once

#include <string>

[[gnu::format(printf, 1, 2)]] void note_failure(const char *fmt, ...);
const std::string &failure_reason();  // empty when none was recorded
void print_failure_reason();          // on standard error, then forgets it
void forget_failure_reason();
