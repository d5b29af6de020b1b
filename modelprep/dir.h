// Directory listings read whole, in the order the system returns them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace modelprep {

struct DirEntry {
  std::string name;
  unsigned char type;  // d_type of the listing: DT_REG, DT_DIR, DT_LNK, DT_UNKNOWN, ...
};

// Identity of a directory, to notice one reached again through a link.
struct DirId {
  dev_t device = 0;
  ino_t inode = 0;
  auto operator<=>(const DirId &) const = default;
};

// Entries of `path` except "." and "..", in listing order; nullopt (errno
// set) when the directory cannot be opened or read. The listing is closed
// before returning, so callers may change the directory while they walk it.
// When `id` is given it receives the identity of the directory listed.
std::optional<std::vector<DirEntry>> listDirectory(const std::string &path, DirId *id = nullptr);

}  // namespace modelprep
