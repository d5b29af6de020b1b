// SIGINT, SIGTERM and SIGHUP stop a run at its next read or write. The
// handler only notes which signal came; the serial layer then fails every
// read and write at once, the flows unwind as on a lost link, the main flow
// puts the port back as it was, says so on standard error and the program
// ends by the same signal.
#pragma once

#include <string>

// Installs the handlers, without SA_RESTART so that a wait in progress is
// interrupted at once. Only the program calls it: tests that run the main
// flow in their own process keep their default signal actions.
void stop_signals_install();
// The stop signal caught so far, 0 while none came. Async-signal-safe.
int stop_signal_caught();
// What the handler does, for tests that stop a run without a real signal.
void stop_signal_note(int sig);
void stop_signal_forget();
// Blocks the stop signals for the rest of the process (when the handlers
// are installed) and returns the one caught before, 0 when none. A run
// calls it where its end is decided: a signal that comes later no longer
// changes the outcome that is about to be printed.
int stop_signals_hold();
// Ends the process by sig with its default action (core dumps aside, as if
// no handler had been installed).
[[noreturn]] void stop_signal_reraise(int sig);
std::string stop_signal_name(int sig);  // "SIGTERM"; "signal N" for others
