// Ports as given: the device each resolves to, its /dev/serial/by-id name, and
// a log file name of its own.
#pragma once

#include <string>
#include <vector>

#include "station/station.h"

namespace station {

inline constexpr const char *kByIdDir = "/dev/serial/by-id";

// One Port per path, in order, with its log in log_dir. Refuses (returns a
// message, else empty) a port given twice, also under two names of one device.
std::string describe_ports(const std::vector<std::string> &paths, const std::string &by_id_dir,
                           const std::string &log_dir, std::vector<Port> &ports);

// "<base name>.log" per path, made unique by "-2", "-3", ... where base
// names repeat; never the name of another port's log.
std::vector<std::string> log_names(const std::vector<std::string> &paths);

}  // namespace station
