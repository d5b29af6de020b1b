// Plain records shared by the station's pieces: what is known about a port,
// and how its run stands. The table and the report are drawn from these alone.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace station {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

enum class State { waiting, running, ok, failed, interrupted, not_started };

// "waiting", "running", "ok", "failed", "interrupted", "not started".
const char *state_name(State state);

struct Port {
  std::string path;      // as given on the command line; passed to tidewrite
  std::string device;    // the real path it resolves to; empty when it does not exist
  std::string by_id;     // a /dev/serial/by-id link to the same device; empty when none
  std::string log_path;  // the port's log file (absolute)
};

struct PortStatus {
  Port port;
  State state = State::waiting;
  int attempts = 0;  // tidewrite runs begun (including one that could not start)
  // First attempt's start and last attempt's end: wall time for the report,
  // steady time for durations.
  std::optional<WallClock::time_point> start_wall, end_wall;
  Clock::time_point start{}, end{};
  std::optional<int> exit_status;  // of the last attempt, when it exited
  int term_signal = 0;             // of the last attempt, when a signal ended it
  std::string last_line;           // last non-empty line printed, trimmed, printable ASCII
  std::optional<std::string> outcome;  // last "... success" / "... fail" line
  std::string error;                   // the station's own reason, when it has one
};

}  // namespace station
