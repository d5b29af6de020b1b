// One progress line on standard error for the transfers that standard
// output leaves silent: the NOR upload, the flash loader, the NAND dump.
// Drawn only when standard error is a terminal, at most ten times a second,
// and finished with a last redraw and a line feed when the step ends or
// fails. One step runs at a time, like the transfers themselves.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

using progress_clock = std::chrono::steady_clock;

// The terminal check and the clock, replaceable so that tests need neither
// a terminal nor real time. Null restores isatty(2) and the steady clock.
struct progress_hooks {
  bool (*stderr_is_terminal)();
  progress_clock::time_point (*now)();
};
void progress_set_hooks(const progress_hooks *hooks);

// what: "upload", "flash loader", "dump"; unit: "bytes" or "pages". A total
// of 0 or less shows nothing.
void progress_begin(const char *what, const char *unit, int64_t total);
void progress_add(int64_t n);  // n more done; nothing without a running step
// Takes the line off the terminal so that standard output can print whole
// lines; the next redraw puts it back.
void progress_hide();
void progress_end();  // last redraw and a line feed; nothing without a running step

// The text of one redraw, without the carriage return before it.
std::string progress_text(const char *what, const char *unit, int64_t done, int64_t total, double seconds,
                          bool finished);

// Ends the step on every way out of a scope.
class ProgressStep {
 public:
  ProgressStep(const char *what, const char *unit, int64_t total) { progress_begin(what, unit, total); }
  ~ProgressStep() { progress_end(); }
  ProgressStep(const ProgressStep &) = delete;
  ProgressStep &operator=(const ProgressStep &) = delete;
};
