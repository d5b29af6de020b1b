// The JSON report of one station run, and a file write that is never seen
// half done.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "station/station.h"

namespace station {

struct RunSummary {
  std::string tidewrite;                    // the program run for every port
  std::vector<std::string> tidewrite_args;  // common arguments, after "-p PORT"
  WallClock::time_point start_wall{}, end_wall{};
  double seconds = 0;
  int stop_signal = 0;  // the signal that stopped the station; 0 = none
  int exit_status = 0;  // the station's (when no signal stopped it)
};

// "2024-05-17T08:03:21.042Z"
std::string iso8601_utc(WallClock::time_point t);

// The report as formatted JSON text (ends with a line feed).
std::string report_json(const RunSummary &run, std::span<const PortStatus> ports);

// Writes text to path through a temporary file in the same folder, synced,
// then renamed over path (and the folder synced): a reader sees the old file
// or the whole new one. On failure path is untouched, the temporary file is
// removed, and the reason is returned; empty on success.
std::string write_file_atomically(const std::string &path, std::string_view text);

}  // namespace station
