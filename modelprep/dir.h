// Directory listings read whole, in the order the system returns them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace modelprep {

struct DirEntry {
  std::string name;
  unsigned char type;  // d_type of the listing: DT_REG, DT_DIR, DT_LNK, DT_UNKNOWN, ...
};

// Entries of `path` except "." and "..", in listing order; nullopt (errno
// set) when the directory cannot be opened or read. The listing is closed
// before returning, so callers may change the directory while they walk it.
std::optional<std::vector<DirEntry>> listDirectory(const std::string &path);

}  // namespace modelprep
