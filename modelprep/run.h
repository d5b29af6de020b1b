// One whole run of modelprep, from the command line to the exit status.
#pragma once

namespace modelprep {

// Returns the exit status: 0 after a complete run, 1 on any fatal error.
int runModelPrep(int argc, char **argv);

}  // namespace modelprep
