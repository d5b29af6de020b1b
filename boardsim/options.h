// Command line of the boardsim program.
#pragma once

#include <string>
#include <vector>

#include "boardsim/board.h"

namespace boardsim {

struct ProgramOptions {
  BoardConfig config;
  bool help = false;
};

// Fills options from argv (without the program name). Returns an empty
// string on success, else the message for the user.
std::string parse_options(const std::vector<std::string> &args, ProgramOptions &options);
const char *usage_text();

}  // namespace boardsim
