// The station's event loop: one tidewrite process per port, their output
// followed through pipes, SIGCHLD and the stop signals read from a signalfd,
// all in one thread that sleeps in poll between events.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "station/fd.h"
#include "station/station.h"

namespace station {

struct RunConfig {
  std::string tidewrite;
  std::vector<std::string> tidewrite_args;  // after "-p PORT"
  int jobs = 0;                             // 0 = every port at once
  int retry = 0;
  bool live = false;  // draw the table on err_fd (a terminal)
  int err_fd = 2;
  // From the SIGTERM sent to the runs to SIGKILL, and from SIGKILL to giving up.
  std::chrono::milliseconds grace{5000};
  std::chrono::milliseconds kill_wait{2000};
};

struct RunResult {
  std::vector<PortStatus> ports;
  int stop_signal = 0;  // SIGINT, SIGTERM or SIGHUP when one stopped the run
  WallClock::time_point start_wall{}, end_wall{};
  double seconds = 0;
};

// Blocks SIGINT, SIGTERM, SIGHUP and SIGCHLD, which the loop reads from a
// signalfd, and ignores SIGPIPE. Call it first, before anything can start.
void block_signals();

// Ends the process by sig with the signal's default action.
[[noreturn]] void die_by_signal(int sig);

// Opens (truncating) each port's log. Returns an empty string or the reason.
std::string open_logs(const std::vector<Port> &ports, std::vector<UniqueFd> &logs);

// Runs every port to its end (or until a stop signal) and returns how each
// stands. logs[i] is ports[i]'s log. Needs block_signals() beforehand.
RunResult run_ports(const RunConfig &config, const std::vector<Port> &ports, std::vector<UniqueFd> logs);

}  // namespace station
