#include "modelprep/dir.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

namespace modelprep {

namespace {
struct DirCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};
}  // namespace

std::optional<std::vector<DirEntry>> listDirectory(const std::string &path, DirId *id) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
  if (!dir) return std::nullopt;
  if (id) {
    struct stat st {};
    if (fstat(dirfd(dir.get()), &st) != 0) return std::nullopt;
    *id = {st.st_dev, st.st_ino};
  }
  std::vector<DirEntry> entries;
  for (;;) {
    errno = 0;
    const dirent *ent = readdir(dir.get());
    if (ent == nullptr) {
      if (errno != 0) return std::nullopt;
      break;
    }
    std::string name = ent->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::move(name), ent->d_type});
  }
  return entries;
}

}  // namespace modelprep
