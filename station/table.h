// What the station shows on standard error: the live table at a terminal,
// or one line per finished port otherwise. Pure text; no terminal calls.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "station/station.h"

namespace station {

struct Screen {
  int width = 80;
  int height = 24;
};

// One frame: a heading, a row per port (port, state, elapsed time, last line,
// outcome) and a totals line. No line is wider than width - 1 columns, so the
// terminal never wraps one; when the ports do not fit in the height, the rows
// of ports that need an eye (failed, running) are kept and the rest are
// summed up on one line.
std::vector<std::string> table_lines(std::span<const PortStatus> ports, Clock::time_point now,
                                     double run_seconds, Screen screen);

// The bytes that replace a frame previous_lines tall, drawn just above the
// cursor, by the new one (lines ending at the left margin below it).
std::string frame_bytes(int previous_lines, const std::vector<std::string> &lines);

// "7 ok, 1 failed, 2 running": only the states that some port is in, in the
// order ok, failed, interrupted, not started, running, waiting.
std::string totals_text(std::span<const PortStatus> ports);

// One line for a port that has ended (no line end).
std::string finish_line(const PortStatus &port);
// One line for a failed attempt that will be followed by attempt `next` of `total`.
std::string retry_line(const PortStatus &port, int next, int total);

// "SIGTERM" for 15 ("signal 99" for one without a name).
std::string signal_name(int sig);

}  // namespace station
