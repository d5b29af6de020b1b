// Which tidewrite the station runs.
#pragma once

#include <string>

namespace station {

// The given path when not empty; else "tidewrite" in the folder of self_exe
// (the station's own real path); else the first executable "tidewrite" in the
// PATH list path_env. Returns an absolute path, or empty with why set.
std::string find_tidewrite(const std::string &given, const std::string &self_exe, const std::string &path_env,
                           std::string &why);

// The real path of the running program ("/proc/self/exe"), or empty.
std::string self_exe_path();

}  // namespace station
