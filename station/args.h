// Command line of tidewrite-station:
//   tidewrite-station [options] PORT... -- TIDEWRITE-ARGS...
#pragma once

#include <string>
#include <vector>

namespace station {

struct Args {
  int jobs = 0;   // at most this many tidewrite runs at once; 0 = all ports
  int retry = 0;  // extra runs for a port whose run failed
  std::string report;           // JSON report file; empty = none
  std::string log_dir = ".";    // one log per port
  std::string tidewrite;        // empty = beside this program, else on PATH
  std::vector<std::string> ports;
  std::vector<std::string> tidewrite_args;  // given to every run after "-p PORT"
  bool help = false;
  bool version = false;  // --version: print the name and version, run nothing
};

// Fills args from the words after the program name. Returns an empty string
// on success, else the message for the user.
std::string parse_args(const std::vector<std::string> &words, Args &args);

const char *usage_text();

}  // namespace station
